// A machine's drive C: on a temporary folder with the store installed in the default lock
// folder, and record builders for the store's tests.
#pragma once

#include <gdbm.h>

#include <filesystem>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include <windows.h>

#include "VAULTSdk.h"

namespace store_test {

inline constexpr const char16_t* kLockFolder = u"C:\\Windows\\Application Data\\NB";
inline constexpr const char16_t* kLockDb = u"C:\\Windows\\Application Data\\NB\\lock";
inline constexpr const char16_t* kUserDb = u"C:\\Windows\\Application Data\\NB\\user";

_LCK_INFORMAION MakeLock(char16_t drive, std::u16string_view path, DWORD serial, int mode = 1);
_PWDTBL MakeAccount(std::u16string_view user, std::u16string_view password, int admin = 0,
                    std::u16string_view comment = u"");

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The host file behind a drive path of C:.
  std::filesystem::path HostFile(const char16_t* drivePath) const;
  // Stores raw bytes under a raw key, bypassing the store (as another writer or a damaged
  // file would have them).
  void StoreRaw(const char16_t* database, std::string_view key, std::string_view content);

  std::filesystem::path root_;   // the temporary folder
  std::filesystem::path drive_;  // drive C:'s folder
};

template <class Record>
std::string_view BytesOf(const Record& record) {
  return {reinterpret_cast<const char*>(&record), sizeof record};
}

}  // namespace store_test
