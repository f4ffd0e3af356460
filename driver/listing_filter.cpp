// The directory-listing edit and the check of a query for a hidden name.
#include "listing_filter.h"

#include "path_rules.h"

namespace {

constexpr ULONG kTag = 'tLbN';

ULONG ReadUlong(const UCHAR* at) {
  ULONG value;
  RtlCopyMemory(&value, at, sizeof value);
  return value;
}

void WriteUlong(UCHAR* at, ULONG value) { RtlCopyMemory(at, &value, sizeof value); }

// Every record begins with these two fields.
constexpr ULONG kNextEntryOffset = offsetof(FILE_DIRECTORY_INFORMATION, NextEntryOffset);
constexpr ULONG kFileIndex = offsetof(FILE_DIRECTORY_INFORMATION, FileIndex);
static_assert(offsetof(FILE_NAMES_INFORMATION, NextEntryOffset) == kNextEntryOffset &&
              offsetof(FILE_NAMES_INFORMATION, FileIndex) == kFileIndex);

struct Layout {
  FILE_INFORMATION_CLASS informationClass;
  ULONG nameLength;
  ULONG name;
};

template <typename Record>
constexpr Layout LayoutOf(FILE_INFORMATION_CLASS informationClass) {
  static_assert(offsetof(Record, NextEntryOffset) == kNextEntryOffset && offsetof(Record, FileIndex) == kFileIndex);
  return {informationClass, offsetof(Record, FileNameLength), offsetof(Record, FileName)};
}

constexpr Layout kLayouts[] = {
    LayoutOf<FILE_DIRECTORY_INFORMATION>(FileDirectoryInformation),
    LayoutOf<FILE_FULL_DIR_INFORMATION>(FileFullDirectoryInformation),
    LayoutOf<FILE_BOTH_DIR_INFORMATION>(FileBothDirectoryInformation),
    LayoutOf<FILE_NAMES_INFORMATION>(FileNamesInformation),
    LayoutOf<FILE_ID_BOTH_DIR_INFORMATION>(FileIdBothDirectoryInformation),
    LayoutOf<FILE_ID_FULL_DIR_INFORMATION>(FileIdFullDirectoryInformation),
};

}  // namespace

bool DirectoryClassLayout(ULONG informationClass, ULONG* nameLengthOffset, ULONG* nameOffset) {
  for (const auto& layout : kLayouts) {
    if (static_cast<ULONG>(layout.informationClass) == informationClass) {
      *nameLengthOffset = layout.nameLength;
      *nameOffset = layout.name;
      return true;
    }
  }
  return false;
}

NTSTATUS QueryNamesHiddenChild(const WCHAR* directory, ULONG directoryLength, const WCHAR* pattern,
                               ULONG patternLength, const WCHAR* entryPath, ULONG entryLength, bool* hidden) {
  *hidden = false;
  if (!pattern || patternLength == 0) {
    *hidden = directoryLength >= entryLength && IsUnder(entryPath, entryLength, directory, directoryLength);
    return STATUS_SUCCESS;
  }
  bool separator = directoryLength == 0 || directory[directoryLength / sizeof(WCHAR) - 1] != u'\\';
  ULONG joinedLength = directoryLength + (separator ? sizeof(WCHAR) : 0) + patternLength;
  if (joinedLength < entryLength) return STATUS_SUCCESS;
  auto* joined = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, joinedLength, kTag));
  if (!joined) return STATUS_INSUFFICIENT_RESOURCES;
  auto* at = reinterpret_cast<UCHAR*>(joined);
  RtlCopyMemory(at, directory, directoryLength);
  at += directoryLength;
  if (separator) {
    const WCHAR backslash = u'\\';
    RtlCopyMemory(at, &backslash, sizeof backslash);
    at += sizeof backslash;
  }
  RtlCopyMemory(at, pattern, patternLength);
  *hidden = IsUnder(entryPath, entryLength, joined, joinedLength);
  ExFreePoolWithTag(joined, kTag);
  return STATUS_SUCCESS;
}

void FilterDirectoryListing(void* buffer, ULONG bufferLength, ULONG informationClass, const WCHAR* directory,
                            ULONG directoryLength, IsHiddenPath isHidden, void* context) {
  ULONG nameLengthOffset;
  ULONG nameOffset;
  if (!buffer || !DirectoryClassLayout(informationClass, &nameLengthOffset, &nameOffset)) return;
  if (directoryLength > LISTING_PATH_BYTES) return;

  auto* base = static_cast<UCHAR*>(buffer);
  WCHAR child[LISTING_PATH_BYTES / sizeof(WCHAR)];
  const bool atRoot = directoryLength == sizeof(WCHAR) && directory[0] == u'\\';
  ULONG kept = 0;  // offset of the last record that stays in the listing
  ULONG offset = 0;
  for (ULONG index = 0; offset + nameOffset <= bufferLength; ++index) {
    UCHAR* record = base + offset;
    ULONG next = ReadUlong(record + kNextEntryOffset);
    ULONG nameLength = ReadUlong(record + nameLengthOffset);

    bool fits = nameLength <= bufferLength - offset - nameOffset;
    ULONG childLength = directoryLength + (atRoot ? 0 : sizeof(WCHAR)) + nameLength;
    // A child path that does not fit the work area cannot be a hidden folder, but the
    // records after it still have to be checked.
    if (fits && childLength <= LISTING_PATH_BYTES) {
      auto* at = reinterpret_cast<UCHAR*>(child);
      RtlCopyMemory(at, directory, directoryLength);
      at += directoryLength;
      if (!atRoot) {
        const WCHAR backslash = u'\\';
        RtlCopyMemory(at, &backslash, sizeof backslash);
        at += sizeof backslash;
      }
      RtlCopyMemory(at, record + nameOffset, nameLength);

      // What leaves the listing is also wiped from the buffer, which the caller may read
      // beyond the records it links.
      if (!isHidden(context, child, childLength)) {
        kept = offset;
      } else if (index > 0) {
        UCHAR* keptRecord = base + kept;
        WriteUlong(keptRecord, next ? ReadUlong(keptRecord) + next : 0);
        ULONG size = next && next < nameOffset + nameLength ? next : nameOffset + nameLength;
        RtlZeroMemory(record, size);
      } else if (nameLength >= sizeof(WCHAR)) {
        const WCHAR dot = u'.';
        WriteUlong(record + kFileIndex, 0);
        WriteUlong(record + nameLengthOffset, sizeof(WCHAR));
        RtlCopyMemory(record + nameOffset, &dot, sizeof dot);
        RtlZeroMemory(record + nameOffset + sizeof dot, nameLength - sizeof dot);
      }
    } else {
      kept = offset;
    }
    if (next == 0 || next >= bufferLength - offset) break;
    offset += next;
  }
}

bool TruncatedRecordMayBeHidden(void* buffer, ULONG bufferLength, ULONG informationClass, MayBeHiddenName mayBeHidden,
                                void* context, ULONG* fileIndex) {
  ULONG nameLengthOffset;
  ULONG nameOffset;
  if (!buffer || !DirectoryClassLayout(informationClass, &nameLengthOffset, &nameOffset)) return false;
  if (bufferLength < nameLengthOffset + sizeof(ULONG)) return false;  // not even the name length came back
  auto* record = static_cast<UCHAR*>(buffer);
  ULONG nameLength = ReadUlong(record + nameLengthOffset);
  ULONG shown = bufferLength > nameOffset ? bufferLength - nameOffset : 0;
  if (shown > nameLength) shown = nameLength;
  shown &= ~static_cast<ULONG>(sizeof(WCHAR) - 1);
  WCHAR prefix[LISTING_PATH_BYTES / sizeof(WCHAR)];
  if (shown > sizeof prefix) shown = sizeof prefix;
  RtlCopyMemory(prefix, record + nameOffset, shown);
  if (!mayBeHidden(context, prefix, shown, nameLength)) return false;
  *fileIndex = ReadUlong(record + kFileIndex);
  RtlZeroMemory(record, bufferLength);
  return true;
}
