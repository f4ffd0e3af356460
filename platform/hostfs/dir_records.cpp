// Writing directory information records and matching name patterns.
#include "dir_records.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace nb::hostfs {

namespace {

constexpr char16_t kDosStar = u'<';
constexpr char16_t kDosQuestionMark = u'>';
constexpr char16_t kDosDot = u'"';

}  // namespace

// The pattern as a machine whose states are pattern positions, run over the name once:
// `live[p]` says that the name read so far can leave the pattern at position p.
bool MatchesPattern(std::u16string_view pattern, std::u16string_view name) {
  const size_t lastDot = name.rfind(u'.');
  std::vector<bool> live(pattern.size() + 1, false);
  std::vector<bool> next(pattern.size() + 1, false);
  // Adds the positions reachable without reading a character at name position n.
  auto close = [&](std::vector<bool>& states, size_t n) {
    const bool atEnd = n == name.size();
    for (size_t p = 0; p < pattern.size(); ++p) {
      if (!states[p]) continue;
      char16_t element = pattern[p];
      bool skips = element == u'*' || element == kDosStar ||
                   (element == kDosQuestionMark && (atEnd || name[n] == u'.')) || (element == kDosDot && atEnd);
      if (skips) states[p + 1] = true;
    }
  };
  live[0] = true;
  close(live, 0);
  for (size_t n = 0; n < name.size(); ++n) {
    const char16_t c = name[n];
    std::fill(next.begin(), next.end(), false);
    bool any = false;
    for (size_t p = 0; p < pattern.size(); ++p) {
      if (!live[p]) continue;
      switch (char16_t element = pattern[p]) {
        case u'*':
          next[p] = true;
          break;
        case kDosStar:  // up to the name's last dot, which the rest of the pattern must meet
          if (lastDot == std::u16string_view::npos || n < lastDot) next[p] = true;
          break;
        case u'?':
          next[p + 1] = true;
          break;
        case kDosQuestionMark:  // never a dot: at one it matched nothing (closure)
          if (c != u'.') next[p + 1] = true;
          break;
        case kDosDot:
          if (c == u'.') next[p + 1] = true;
          break;
        default:
          if (c == element) next[p + 1] = true;
          break;
      }
    }
    close(next, n + 1);
    for (size_t p = 0; p <= pattern.size(); ++p) any = any || next[p];
    if (!any) return false;
    live.swap(next);
  }
  return live[pattern.size()];
}

namespace {

ULONG AlignUp8(ULONG value) { return (value + 7) & ~7u; }

LARGE_INTEGER Large(LONGLONG value) {
  LARGE_INTEGER large;
  large.QuadPart = value;
  return large;
}

// The fields the five full classes share, in the same places.
template <typename Record>
void FillCommon(Record& record, ULONG fileIndex, const FileFacts& facts, ULONG nameLength) {
  record.FileIndex = fileIndex;
  record.CreationTime = Large(facts.creationTime);
  record.LastAccessTime = Large(facts.lastAccessTime);
  record.LastWriteTime = Large(facts.lastWriteTime);
  record.ChangeTime = Large(facts.changeTime);
  record.EndOfFile = Large(facts.endOfFile);
  record.AllocationSize = Large(facts.allocationSize);
  record.FileAttributes = facts.attributes;
  record.FileNameLength = nameLength;
}

// A record with every byte zero, padding included (the caller sees the padding).
template <typename Record>
Record Zeroed() {
  Record record;
  std::memset(&record, 0, sizeof record);
  return record;
}

// Copies a record's fixed part (everything before the name) into an unaligned buffer.
template <typename Record>
void Store(PUCHAR destination, const Record& record, ULONG fixedLength) {
  std::memcpy(destination, &record, fixedLength);
}

}  // namespace

DirectoryRecordWriter::DirectoryRecordWriter(FILE_INFORMATION_CLASS informationClass, void* buffer, ULONG length)
    : class_(informationClass), buffer_(static_cast<PUCHAR>(buffer)), length_(length) {}

bool DirectoryRecordWriter::Supports(FILE_INFORMATION_CLASS informationClass) {
  return NameOffset(informationClass) != 0;
}

ULONG DirectoryRecordWriter::NameOffset(FILE_INFORMATION_CLASS informationClass) {
  switch (informationClass) {
    case FileDirectoryInformation:
      return offsetof(FILE_DIRECTORY_INFORMATION, FileName);
    case FileFullDirectoryInformation:
      return offsetof(FILE_FULL_DIR_INFORMATION, FileName);
    case FileBothDirectoryInformation:
      return offsetof(FILE_BOTH_DIR_INFORMATION, FileName);
    case FileNamesInformation:
      return offsetof(FILE_NAMES_INFORMATION, FileName);
    case FileIdBothDirectoryInformation:
      return offsetof(FILE_ID_BOTH_DIR_INFORMATION, FileName);
    case FileIdFullDirectoryInformation:
      return offsetof(FILE_ID_FULL_DIR_INFORMATION, FileName);
    default:
      return 0;
  }
}

DirectoryRecordWriter::Outcome DirectoryRecordWriter::Append(ULONG fileIndex, const FileFacts& facts,
                                                             std::u16string_view name) {
  const ULONG fixed = NameOffset(class_);
  const ULONG nameLength = static_cast<ULONG>(name.size() * sizeof(WCHAR));
  const ULONG start = count_ == 0 ? 0 : AlignUp8(used_);
  if (start > length_ || length_ - start < fixed) return count_ == 0 ? Outcome::kTooSmall : Outcome::kFull;
  if (length_ - start - fixed < nameLength) {
    if (count_ != 0) return Outcome::kFull;
    // The first record shows the caller how long the name is and as much of it as fits.
    WriteRecord(buffer_, fileIndex, facts, nameLength);
    ULONG room = (length_ - fixed) & ~1u;
    std::memcpy(buffer_ + fixed, name.data(), room);
    used_ = fixed + room;
    return Outcome::kTruncated;
  }
  PUCHAR record = buffer_ + start;
  WriteRecord(record, fileIndex, facts, nameLength);
  std::memcpy(record + fixed, name.data(), nameLength);
  if (count_ != 0) {
    ULONG next = start - last_;
    std::memcpy(buffer_ + last_, &next, sizeof next);
  }
  last_ = start;
  used_ = start + fixed + nameLength;
  ++count_;
  return Outcome::kWritten;
}

void DirectoryRecordWriter::WriteRecord(PUCHAR record, ULONG fileIndex, const FileFacts& facts, ULONG nameLength) {
  const ULONG fixed = NameOffset(class_);
  switch (class_) {
    case FileDirectoryInformation: {
      auto r = Zeroed<FILE_DIRECTORY_INFORMATION>();
      FillCommon(r, fileIndex, facts, nameLength);
      Store(record, r, fixed);
      break;
    }
    case FileFullDirectoryInformation: {
      auto r = Zeroed<FILE_FULL_DIR_INFORMATION>();
      FillCommon(r, fileIndex, facts, nameLength);
      Store(record, r, fixed);
      break;
    }
    case FileBothDirectoryInformation: {
      auto r = Zeroed<FILE_BOTH_DIR_INFORMATION>();
      FillCommon(r, fileIndex, facts, nameLength);
      Store(record, r, fixed);
      break;
    }
    case FileIdBothDirectoryInformation: {
      auto r = Zeroed<FILE_ID_BOTH_DIR_INFORMATION>();
      FillCommon(r, fileIndex, facts, nameLength);
      r.FileId = Large(static_cast<LONGLONG>(facts.fileId));
      Store(record, r, fixed);
      break;
    }
    case FileIdFullDirectoryInformation: {
      auto r = Zeroed<FILE_ID_FULL_DIR_INFORMATION>();
      FillCommon(r, fileIndex, facts, nameLength);
      r.FileId = Large(static_cast<LONGLONG>(facts.fileId));
      Store(record, r, fixed);
      break;
    }
    default: {
      auto r = Zeroed<FILE_NAMES_INFORMATION>();
      r.FileIndex = fileIndex;
      r.FileNameLength = nameLength;
      Store(record, r, fixed);
      break;
    }
  }
}

}  // namespace nb::hostfs
