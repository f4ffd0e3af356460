// The default-language lookup: the stored index and the language it names, and a missing
// key or value leaving the caller's record alone.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include <windows.h>

#include "LanguageInfo.h"
#include "nb/testing/machine.h"
#include "nb/win/in_process.h"

namespace {

constexpr const char16_t* kInstallKey = u"{9681097C-03B8-45BD-A671-75BD72285DF0}";
constexpr const char16_t* kUninstallKey =
    u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{9681097C-03B8-45BD-A671-75BD72285DF0}";

// The record as the utility library fills it before the lookup.
LanguageInfo EnglishDefaults() {
  LanguageInfo info;
  std::memset(&info, 0, sizeof info);
  info.index = 3;
  info.primary = 9;
  info.sub = 1;
  info.code[0] = u'E';
  info.code[1] = u'N';
  return info;
}

class LanguageLookup : public ::testing::Test {
 protected:
  void SetUp() override {
    transport.ActAsUser(0);
    nb::win::SetTransport(&transport);
  }
  void TearDown() override { nb::win::SetTransport(nullptr); }

  void Store(DWORD type, const void* data, DWORD size) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, u"LANGUAGE", 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    RegCloseKey(key);
  }

  nb::testing::Machine machine;
  nb::win::InProcessTransport transport;
};

TEST_F(LanguageLookup, TheStoredValueNamesTheLanguage) {
  struct Case {
    INT stored;
    WORD primary;
    WORD sub;
    std::u16string code;
  };
  const Case cases[] = {
      {0, LANG_KOREAN, 1, u"KO"},   {1, LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED, u"CH"},
      {2, LANG_JAPANESE, 1, u"JP"}, {3, LANG_ENGLISH, 1, u"EN"},
      {7, LANG_ENGLISH, 1, u"EN"},  {-1, LANG_ENGLISH, 1, u"EN"},
  };
  for (const Case& c : cases) {
    Store(REG_DWORD, &c.stored, sizeof c.stored);
    LanguageInfo info = EnglishDefaults();
    info.reserved = 0x7777;
    ASSERT_TRUE(GetLanguageInfo(kInstallKey, &info)) << c.stored;
    EXPECT_EQ(info.index, c.stored);
    EXPECT_EQ(info.primary, c.primary);
    EXPECT_EQ(info.sub, c.sub);
    EXPECT_EQ(info.reserved, 0x7777) << "the caller's unit";
    EXPECT_EQ(std::u16string(info.code), c.code);
  }
}

TEST_F(LanguageLookup, WithoutAReadableValueTheCallersDefaultsStay) {
  LanguageInfo info = EnglishDefaults();
  const LanguageInfo defaults = info;
  EXPECT_FALSE(GetLanguageInfo(kInstallKey, &info)) << "no uninstall key";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(std::memcmp(&info, &defaults, sizeof info), 0);

  HKEY key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_FALSE(GetLanguageInfo(kInstallKey, &info)) << "no value";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(std::memcmp(&info, &defaults, sizeof info), 0);

  const WORD shortValue = 2;  // Japanese, had it been a whole number
  Store(REG_BINARY, &shortValue, sizeof shortValue);
  EXPECT_FALSE(GetLanguageInfo(kInstallKey, &info)) << "half a number";
  EXPECT_EQ(std::memcmp(&info, &defaults, sizeof info), 0);

  std::u16string longName(300, u'x');
  EXPECT_FALSE(GetLanguageInfo(longName.c_str(), &info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(GetLanguageInfo(nullptr, &info));
  EXPECT_FALSE(GetLanguageInfo(kInstallKey, nullptr));
  EXPECT_EQ(std::memcmp(&info, &defaults, sizeof info), 0);
}

}  // namespace
