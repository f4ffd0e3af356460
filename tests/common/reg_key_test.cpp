// RegKey over an in-process machine: which textual paths open, the last error of every
// operation, values read and written, numbers of the wrong size, and handles released.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include <windows.h>

#include "RegKey.h"
#include "nb/kernel/registry.h"
#include "nb/testing/machine.h"
#include "nb/text.h"
#include "nb/win/handle_table.h"
#include "nb/win/in_process.h"

namespace {

class RegKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    transport.ActAsUser(0);
    nb::win::SetTransport(&transport);
    Make(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\NBAdmin");
  }
  void TearDown() override { nb::win::SetTransport(nullptr); }

  void Make(HKEY root, const char16_t* path) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_SUCCESS);
    RegCloseKey(key);
  }
  void SetRaw(const char16_t* name, DWORD type, const void* data, DWORD size) {
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    RegCloseKey(key);
  }

  static constexpr const char16_t* kServiceKey = u"SYSTEM\\CurrentControlSet\\Services\\NBAdmin";
  static constexpr const char16_t* kServicePath = u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\NBAdmin";
  nb::testing::Machine machine;
  nb::win::InProcessTransport transport;
};

TEST_F(RegKeyTest, PathsThatAreNoKeyPathAreRefused) {
  std::u16string tooLong = u"HKEY_LOCAL_MACHINE\\" + std::u16string(256 - 19, u'k');  // 256 characters
  const char16_t* refused[] = {
      nullptr,
      u"",
      u"HKEY_LOCAL_MACHINE",  // no subkey part
      u"hkey_local_machine\\SOFTWARE",
      u"HKEY_Local_Machine\\SOFTWARE",
      u"HKLM\\SOFTWARE",
      u"HKEY_LOCAL_MACHINE_X\\SOFTWARE",
      u" HKEY_LOCAL_MACHINE\\SOFTWARE",
      u"\\HKEY_LOCAL_MACHINE\\SOFTWARE",
      u"HKEY_PERFORMANCE_DATA\\x",
      u"SOFTWARE\\Microsoft",
      tooLong.c_str(),
  };
  for (const char16_t* path : refused) {
    RegKey key;
    SetLastError(0);
    EXPECT_FALSE(key.Open(path)) << (path ? std::string(path, path + std::char_traits<char16_t>::length(path))
                                          : "null");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(std::u16string(key.Path()), u"");
  }
}

TEST_F(RegKeyTest, TheFiveRootsOpenTheirKeys) {
  Make(HKEY_CLASSES_ROOT, u"NimbraTest");
  Make(HKEY_CURRENT_USER, u"Software\\Nimbra");
  Make(HKEY_CURRENT_CONFIG, u"Software");
  const char16_t* paths[] = {
      u"HKEY_CLASSES_ROOT\\NimbraTest",
      u"HKEY_CURRENT_USER\\Software\\Nimbra",
      kServicePath,
      u"HKEY_LOCAL_MACHINE\\software\\microsoft\\windows nt\\currentversion",  // subkeys ignore case
      u"HKEY_USERS\\S-1-22-1-0\\Software",
      u"HKEY_CURRENT_CONFIG\\Software",
      u"HKEY_LOCAL_MACHINE\\",  // the root itself
  };
  for (const char16_t* path : paths) {
    RegKey key;
    SetLastError(1234);
    EXPECT_TRUE(key.Open(path)) << std::string(path, path + std::char_traits<char16_t>::length(path));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(std::u16string(key.Path()), path);
  }
  // A path of 255 characters is still taken.
  std::u16string longest = u"HKEY_LOCAL_MACHINE\\SOFTWARE\\" + std::u16string(255 - 28, u'k');
  RegKey key;
  EXPECT_FALSE(key.Open(longest.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(RegKeyTest, AFailedOpenKeepsTheKeyOpenBefore) {
  SetRaw(u"COMPANY", REG_DWORD, "\x02\0\0\0", 4);
  RegKey key;
  ASSERT_TRUE(key.Open(kServicePath));
  EXPECT_FALSE(key.Open(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Missing"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(key.Open(u"HKEY_LOCAL_MACHINE"));
  EXPECT_EQ(std::u16string(key.Path()), kServicePath);
  INT company = 0;
  EXPECT_TRUE(key.ReadNumber(u"COMPANY", &company));
  EXPECT_EQ(company, 2);
}

TEST_F(RegKeyTest, OpeningWantsFullAccess) {
  transport.ActAsUser(1000);
  RegKey key;
  EXPECT_FALSE(key.Open(kServicePath));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(RegKeyTest, KeyInformationIsReadOnOpen) {
  Make(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\NBAdmin\\Parameters");
  SetRaw(u"DEFAULT", REG_BINARY, "\x04\0\0\0\x1e\0\0\0", 8);
  SetRaw(u"COMPANY", REG_DWORD, "\x01\0\0\0", 4);
  RegKey key;
  ASSERT_TRUE(key.Open(kServicePath));
  EXPECT_EQ(key.Information().subKeys, 1u);
  EXPECT_EQ(key.Information().maxSubKeyLength, 10u);
  EXPECT_EQ(key.Information().values, 2u);
  EXPECT_EQ(key.Information().maxValueNameLength, 7u);
  EXPECT_EQ(key.Information().maxValueLength, 8u);
  EXPECT_NE(key.Information().lastWriteTime.dwHighDateTime, 0u);
  EXPECT_EQ(std::u16string(key.ClassName()), u"") << "keys here have no class";
}

TEST_F(RegKeyTest, ValuesReadAndWritten) {
  RegKey key;
  ASSERT_TRUE(key.Open(kServicePath));
  BYTE record[404];
  std::memset(record, 0x5A, sizeof record);
  SetLastError(1234);
  ASSERT_TRUE(key.WriteBinary(u"USER", record, sizeof record));
  EXPECT_EQ(GetLastError(), 0u);
  ASSERT_TRUE(key.WriteNumber(u"COMPANY", -2));

  BYTE read[404] = {};
  DWORD size = sizeof read;
  ASSERT_TRUE(key.ReadValue(u"USER", read, &size));
  EXPECT_EQ(size, 404u);
  EXPECT_EQ(std::memcmp(read, record, sizeof record), 0);
  size = 100;
  EXPECT_FALSE(key.ReadValue(u"USER", read, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(size, 404u);
  size = 0;
  EXPECT_TRUE(key.ReadValue(u"USER", nullptr, &size)) << "a null buffer asks for the size";
  EXPECT_EQ(size, 404u);

  // The stored types are the registry's own.
  HKEY raw;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_READ, &raw), ERROR_SUCCESS);
  DWORD type = 0;
  EXPECT_EQ(RegQueryValueExW(raw, u"USER", nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(RegQueryValueExW(raw, u"COMPANY", nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  RegCloseKey(raw);
}

// A number is exactly 4 bytes: a shorter value used to succeed with half a number.
TEST_F(RegKeyTest, ReadNumberTakesExactlyFourBytes) {
  struct Case {
    const char16_t* name;
    DWORD type;
    const char* data;
    DWORD size;
    DWORD error;  // 0: read
    INT number;
  };
  const Case cases[] = {
      {u"Dword", REG_DWORD, "\x2a\0\0\0", 4, 0, 42},
      {u"Negative", REG_DWORD, "\xff\xff\xff\xff", 4, 0, -1},
      {u"Binary4", REG_BINARY, "\x07\0\0\0", 4, 0, 7},
      {u"Binary2", REG_BINARY, "\x07\x01", 2, ERROR_INVALID_DATA, 0},
      {u"Binary1", REG_BINARY, "\x07", 1, ERROR_INVALID_DATA, 0},
      {u"Empty", REG_BINARY, "", 0, ERROR_INVALID_DATA, 0},
      {u"Binary8", REG_BINARY, "\x01\0\0\0\x02\0\0\0", 8, ERROR_MORE_DATA, 0},
      {u"Missing", REG_NONE, nullptr, 0, ERROR_FILE_NOT_FOUND, 0},
  };
  for (const Case& c : cases) {
    if (c.data) SetRaw(c.name, c.type, c.data, c.size);
  }
  RegKey key;
  ASSERT_TRUE(key.Open(kServicePath));
  for (const Case& c : cases) {
    INT number = 0x5A5A5A5A;
    SetLastError(1234);
    EXPECT_EQ(key.ReadNumber(c.name, &number), c.error == 0) << nb::text::Utf16ToUtf8(c.name);
    EXPECT_EQ(GetLastError(), c.error) << nb::text::Utf16ToUtf8(c.name);
    EXPECT_EQ(number, c.error == 0 ? c.number : 0x5A5A5A5A) << "unchanged on failure";
  }
}

TEST_F(RegKeyTest, NothingOpenMeansAnInvalidHandle) {
  RegKey key;
  INT number = 5;
  DWORD size = 4;
  BYTE data[4];
  EXPECT_FALSE(key.ReadNumber(u"COMPANY", &number));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(key.ReadValue(u"COMPANY", data, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(key.WriteNumber(u"COMPANY", 1));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(key.WriteBinary(u"COMPANY", data, 4));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(RegKeyTest, KeysAreClosedOnReopenAndDestruction) {
  {
    RegKey key;
    ASSERT_TRUE(key.Open(kServicePath));
    ASSERT_TRUE(key.Open(u"HKEY_LOCAL_MACHINE\\SOFTWARE"));
    ASSERT_TRUE(key.Open(kServicePath));
    EXPECT_EQ(nb::win::ProcessHandles().Count(), 1u);
  }
  EXPECT_EQ(nb::win::ProcessHandles().Count(), 0u);
  EXPECT_EQ(machine.Kernel().Registry().OpenKeyCount(), 0u);
}

}  // namespace
