// The pure rules of the Win32 file calls on drives: the object names they open, the
// attributes they show and the patterns FindFirstFileW sends to the file system.
#pragma once

#include <string>
#include <string_view>

#include "nb/basetypes.h"
#include "nb/win/paths.h"

namespace nb::win {

// "\DosDevices\X:\a\b" for drive X and the relative path "a/b" (ParseWin32Path's form);
// "\DosDevices\X:\" for the root.
std::u16string DriveObjectName(WCHAR letter, std::u16string_view relative);
// "\a\b": the same path from the root of its volume, as a rename names its target.
std::u16string VolumePathOf(std::u16string_view relative);

// A file system's attributes as the Win32 calls show them: a folder is
// FILE_ATTRIBUTE_DIRECTORY only, a file FILE_ATTRIBUTE_ARCHIVE with
// FILE_ATTRIBUTE_READONLY when the file system reports it.
DWORD Win32AttributesOf(ULONG fileSystemAttributes);

// FindFirstFileW's argument: the folder (a kDriveFile path) and the pattern of names in
// it. False with the Win32 error: a path that names no folder of a drive, an empty
// pattern (ERROR_FILE_NOT_FOUND) or one with characters no name or wildcard has
// (ERROR_INVALID_NAME).
struct FindPath {
  Win32Path directory;
  std::u16string pattern;  // as written, trailing dots and spaces removed
};
bool ParseFindPath(std::u16string_view path, FindPath* find, DWORD* error);

// A Win32 pattern in the file system's terms, as Win32 hands it on: "?" is DOS_QM (">"),
// "*" before a dot DOS_STAR ("<"), a dot before "?" or "*" DOS_DOT ("\""), so that "*.*"
// matches every name, also one without a dot, and "?" matches nothing before a dot.
std::u16string FileSystemPatternOf(std::u16string_view pattern);

}  // namespace nb::win
