// Helpers shared by the driver suites: log messages and wire records.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include <ntifs.h>

#include "log.h"
#include "nbfsctl.h"

namespace nbfs_test {

// The message part of a log line ("... NOTICE:[name(id)]: message").
inline std::string MessageOf(const std::string& line) {
  size_t at = line.find("]: ");
  return at == std::string::npos ? line : line.substr(at + 3);
}

// Reads every message waiting in the driver's log, oldest first.
inline std::vector<std::string> DrainLog() {
  std::vector<std::string> messages;
  NBFS_LOG_RECORD record;
  while (NT_SUCCESS(LogRead(&record))) messages.push_back(MessageOf(record.text));
  return messages;
}

inline NBFS_ENTRY Entry(char letter, const std::u16string& path = u"", ULONG type = 0, ULONG timeout = 0) {
  NBFS_ENTRY entry{};
  entry.letter = static_cast<UCHAR>(letter);
  entry.type = type;
  entry.timeout = timeout;
  std::memcpy(entry.path, path.c_str(), (path.size() + 1) * sizeof(char16_t));
  return entry;
}

inline std::u16string PathOf(const NBFS_ENTRY& entry) { return std::u16string(entry.path); }

}  // namespace nbfs_test
