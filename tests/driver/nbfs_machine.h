// A test machine with the filter driver loaded and bare volumes for chosen letters.
#pragma once

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "driver.h"
#include "driver_test_support.h"
#include "nb/testing/machine.h"

namespace nbfs_test {

class NbfsMachine : public nb::testing::Machine {
 public:
  explicit NbfsMachine(std::initializer_list<char> letters) {
    for (char letter : letters) AddBareVolume(letter);
    loadStatus = LoadDriver(u"\\Driver\\nbfs36", nbfsDriverEntry, &driver);
  }

  NTSTATUS Control(ULONG code, const void* input, ULONG inputLength, void* output = nullptr,
                   ULONG outputLength = 0, ULONG* returned = nullptr) {
    return DeviceControl(NBFS_LINK_NAME, code, input, inputLength, output, outputLength, returned);
  }
  NTSTATUS Control(ULONG code, const NBFS_ENTRY& entry) { return Control(code, &entry, sizeof entry); }

  NTSTATUS StartLog(ULONG records) { return Control(LOG_START, &records, sizeof records); }
  // Reads log lines until LOG_READ fails.
  std::vector<std::string> ReadLog() {
    std::vector<std::string> lines;
    NBFS_LOG_RECORD record;
    while (NT_SUCCESS(Control(LOG_READ, nullptr, 0, &record, sizeof record))) lines.push_back(record.text);
    return lines;
  }
  std::vector<std::string> ReadLogMessages() {
    std::vector<std::string> messages;
    for (const auto& line : ReadLog()) messages.push_back(MessageOf(line));
    return messages;
  }

  NTSTATUS loadStatus;
  PDRIVER_OBJECT driver = nullptr;
};

}  // namespace nbfs_test
