// The utility library's test machine: an in-process kernel with hostfs volumes C: and D:
// (fixed), E: (removable) and Z: (a network drive), the filter driver and the removable-
// device driver loaded, the service key in the registry, and this process's Win32 calls
// served by it as root.
#pragma once

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include <windows.h>

#include "nb/testing/machine.h"
#include "nb/win/in_process.h"

namespace util_test {

inline constexpr ULONG kSerialC = 0xC0C0C0C0;
inline constexpr ULONG kSerialD = 0xD0D0D0D0;
inline constexpr ULONG kSerialE = 0xE0E0E0E0;
inline constexpr const char16_t* kDefaultFolder = u"C:\\Windows\\Application Data\\NB";
inline constexpr const char16_t* kServiceKey = u"SYSTEM\\CurrentControlSet\\Services\\NBAdmin";

class UtilMachine : public nb::testing::Machine {
 public:
  UtilMachine();
  ~UtilMachine();

  NTSTATUS status() const { return status_; }
  nb::win::InProcessTransport& Transport() { return transport_; }
  // The host folder of a drive, and a folder made below it ("\a\b").
  std::filesystem::path Folder(char letter) const { return top_ / std::string(1, letter); }
  std::filesystem::path MakeFolder(char letter, const std::string& path);

  // Registry helpers below HKEY_LOCAL_MACHINE.
  static void MakeKey(const char16_t* path);
  static void DeleteValue(const char16_t* path, const char16_t* name);
  static void SetValue(const char16_t* path, const char16_t* name, DWORD type, const void* data, DWORD size);

 private:
  NTSTATUS AddFolderVolume(char letter, nb::kernel::VolumeType type, ULONG serial);

  std::filesystem::path top_;
  NTSTATUS status_ = STATUS_SUCCESS;
  nb::win::InProcessTransport transport_;
  nb::win::ScopedTransport installed_{transport_};
};

// A test with the machine up.
class UtilTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(machine.status(), STATUS_SUCCESS); }
  UtilMachine machine;
};

// Runs `call` with standard output captured (the client calls print) and returns it.
template <typename Call>
auto Quietly(Call call) {
  ::testing::internal::CaptureStdout();
  auto result = call();
  ::testing::internal::GetCapturedStdout();
  return result;
}

}  // namespace util_test
