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

constexpr ULONG kNextEntryOffset = 0;
constexpr ULONG kFileIndex = 4;

}  // namespace

bool DirectoryClassLayout(ULONG informationClass, ULONG* nameLengthOffset, ULONG* nameOffset) {
  struct Layout {
    ULONG informationClass;
    ULONG nameLength;
    ULONG name;
  };
  static constexpr Layout kLayouts[] = {
      {1, 60, 64},    // FileDirectoryInformation
      {2, 60, 68},    // FileFullDirectoryInformation
      {3, 60, 94},    // FileBothDirectoryInformation
      {12, 8, 12},    // FileNamesInformation
      {37, 60, 104},  // FileIdBothDirectoryInformation
      {38, 60, 80},   // FileIdFullDirectoryInformation
  };
  for (const auto& layout : kLayouts) {
    if (layout.informationClass == informationClass) {
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

      if (!isHidden(context, child, childLength)) {
        kept = offset;
      } else if (index > 0) {
        UCHAR* keptRecord = base + kept;
        WriteUlong(keptRecord, next ? ReadUlong(keptRecord) + next : 0);
      } else if (nameLength >= sizeof(WCHAR)) {
        const WCHAR dot = u'.';
        WriteUlong(record + kFileIndex, 0);
        WriteUlong(record + nameLengthOffset, sizeof(WCHAR));
        RtlCopyMemory(record + nameOffset, &dot, sizeof dot);
      }
    } else {
      kept = offset;
    }
    if (next == 0 || next >= bufferLength - offset) break;
    offset += next;
  }
}
