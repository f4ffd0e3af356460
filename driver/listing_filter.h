// Removing hidden folders from directory listings: which listing requests need editing,
// and the edit of a returned buffer of directory records.
#pragma once

#include <ntifs.h>

// Where the name length (u32) and the name stand in a record of a directory class; false
// for classes the filter leaves alone.
bool DirectoryClassLayout(ULONG informationClass, ULONG* nameLengthOffset, ULONG* nameOffset);

// Decides for one hidden child (`entryPath`) whether a directory query on `directory`,
// with an optional name pattern, asks for that child itself; such a query finds nothing.
// Returns STATUS_INSUFFICIENT_RESOURCES when the joined path cannot be built.
[[nodiscard]] NTSTATUS QueryNamesHiddenChild(const WCHAR* directory, ULONG directoryLength, const WCHAR* pattern,
                                             ULONG patternLength, const WCHAR* entryPath, ULONG entryLength,
                                             bool* hidden);

// Tells whether a child path (below the drive root) is a hidden folder.
typedef bool (*IsHiddenPath)(void* context, const WCHAR* path, ULONG length);

// Edits a buffer of directory records of `informationClass` so that children of
// `directory` for which `isHidden` holds disappear: a hidden record is unlinked from its
// predecessor's NextEntryOffset; a hidden first record, which cannot be unlinked, is
// renamed "." with FileIndex 0. Records whose child path would exceed the work area are
// skipped, not the end of the walk. Never reads or writes outside the buffer.
void FilterDirectoryListing(void* buffer, ULONG bufferLength, ULONG informationClass, const WCHAR* directory,
                            ULONG directoryLength, IsHiddenPath isHidden, void* context);

// Tells whether a child of the listed directory whose name is `nameLength` bytes long and
// begins with the `prefixLength` bytes at `prefix` may be a hidden folder.
typedef bool (*MayBeHiddenName)(void* context, const WCHAR* prefix, ULONG prefixLength, ULONG nameLength);

// For a query whose first record came back cut short (STATUS_BUFFER_OVERFLOW: the fixed
// part and as much of the name as fits): true when that record may be a hidden child.
// Then its FileIndex goes to `fileIndex` and the buffer is wiped, so that nothing of it
// reaches the caller. A visible name of a hidden one's length that the buffer shows no
// differently is taken for it: nothing is judged from what the buffer did not show.
bool TruncatedRecordMayBeHidden(void* buffer, ULONG bufferLength, ULONG informationClass, MayBeHiddenName mayBeHidden,
                                void* context, ULONG* fileIndex);

// Size of the work area for child paths, in bytes.
inline constexpr ULONG LISTING_PATH_BYTES = 1024;
