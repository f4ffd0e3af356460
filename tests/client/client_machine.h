// A test machine for the client calls: an in-process kernel that serves this process's
// Win32 calls, volumes of hostfs over temporary folders (which the drive map names too,
// for whole-volume opens), and optionally the nbfs and nbdv drivers.
#pragma once

#include <filesystem>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include <windows.h>

#include "nb/testing/machine.h"
#include "nb/win/drives.h"
#include "nb/testing/carrier.h"

namespace client_test {

class ClientMachine : public nb::testing::Machine {
 public:
  // The calls reach the machine by `carrier`: in process, or over a socket server in the
  // test process.
  explicit ClientMachine(std::initializer_list<char> letters = {},
                         nb::testing::Carrier carrier = nb::testing::Carrier::kInProcess);
  ~ClientMachine();

  NTSTATUS LoadNbfs();
  NTSTATUS LoadNbdv();
  // The host folder of a drive, and a folder created below it ("\a\b" style).
  std::filesystem::path Folder(char letter) const { return folders_.at(letter); }
  void MakeFolder(char letter, const std::string& path);

 private:
  std::filesystem::path root_;
  std::map<char, std::filesystem::path> folders_;
  std::unique_ptr<nb::testing::CarriedTransport> transport_;
};

// Runs `call` with standard output captured and returns what it printed.
template <typename Call>
std::string Captured(Call call, int* result) {
  ::testing::internal::CaptureStdout();
  *result = call();
  return ::testing::internal::GetCapturedStdout();
}

}  // namespace client_test
