// Directory listings: the records of the six directory information classes written into
// a caller's buffer, and the name patterns that select them.
#pragma once

#include <string_view>

#include <ntifs.h>

#include "file_facts.h"

namespace nb::hostfs {

// Whether `name` matches `pattern`: * is any run of characters, ? any one character,
// everything else itself, case included; and the DOS wildcards that Win32 callers send
// (no name holds them): < (DOS_STAR) any run up to the name's last dot, > (DOS_QM) any
// one character but a dot, or none before a dot or the end, " (DOS_DOT) a dot, or none
// at the end.
bool MatchesPattern(std::u16string_view pattern, std::u16string_view name);

class DirectoryRecordWriter {
 public:
  enum class Outcome {
    kWritten,    // the record is in the buffer
    kFull,       // no room after the records already written
    kTruncated,  // first record: its fixed part and as much of the name as fits
    kTooSmall,   // first record: not even its fixed part fits
  };

  DirectoryRecordWriter(FILE_INFORMATION_CLASS informationClass, void* buffer, ULONG length);

  static bool Supports(FILE_INFORMATION_CLASS informationClass);
  // Offset of the name, which is also the size of a record's fixed part.
  static ULONG NameOffset(FILE_INFORMATION_CLASS informationClass);

  // Appends one record on the next 8-byte boundary and links the previous record to it;
  // the last record written keeps NextEntryOffset 0.
  Outcome Append(ULONG fileIndex, const FileFacts& facts, std::u16string_view name);

  ULONG Count() const { return count_; }
  // Bytes from the buffer start to the end of the last record's name.
  ULONG Used() const { return used_; }

 private:
  void WriteRecord(PUCHAR record, ULONG fileIndex, const FileFacts& facts, ULONG nameLength);

  FILE_INFORMATION_CLASS class_;
  PUCHAR buffer_;
  ULONG length_;
  ULONG last_ = 0;
  ULONG used_ = 0;
  ULONG count_ = 0;
};

}  // namespace nb::hostfs
