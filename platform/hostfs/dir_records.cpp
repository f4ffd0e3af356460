// Writing directory information records and matching name patterns.
#include "dir_records.h"

#include <cstring>

namespace nb::hostfs {

bool MatchesPattern(std::u16string_view pattern, std::u16string_view name) {
  size_t p = 0;
  size_t n = 0;
  size_t starAt = std::u16string_view::npos;  // pattern position after the last *
  size_t starName = 0;                        // name position that * has swallowed up to
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == u'*') {
      starAt = ++p;
      starName = n;
    } else if (p < pattern.size() && (pattern[p] == u'?' || pattern[p] == name[n])) {
      ++p;
      ++n;
    } else if (starAt != std::u16string_view::npos) {
      p = starAt;
      n = ++starName;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p == pattern.size();
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
