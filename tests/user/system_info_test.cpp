// GetVersionExW and the default languages over an in-process machine: the first-boot
// values, the hive's overrides (a major-6 machine, other languages) and what a damaged
// value falls back to.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include <windows.h>

#include "nb/kernel/machine_defaults.h"
#include "nb/testing/machine.h"
#include "nb/text.h"
#include "nb/win/in_process.h"

namespace {

constexpr const char16_t* kVersionKey = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr const char16_t* kLanguageKey = u"SYSTEM\\CurrentControlSet\\Control\\Nls\\Language";

class SystemInfo : public ::testing::Test {
 protected:
  void SetUp() override {
    transport.ActAsUser(0);
    nb::win::SetTransport(&transport);
  }
  void TearDown() override { nb::win::SetTransport(nullptr); }

  void Set(HKEY root, const char16_t* path, const char16_t* name, DWORD type, const void* data, DWORD size) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    RegCloseKey(key);
  }
  void SetString(HKEY root, const char16_t* path, const char16_t* name, const std::u16string& text) {
    Set(root, path, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
  }
  void SetNumber(const char16_t* name, DWORD number) {
    Set(HKEY_LOCAL_MACHINE, kVersionKey, name, REG_DWORD, &number, sizeof number);
  }

  nb::testing::Machine machine;
  nb::win::InProcessTransport transport;
};

struct Version {
  DWORD major, minor, build;
  std::u16string servicePack;
  WORD servicePackMajor;
};

Version Query() {
  OSVERSIONINFOEXW info;
  std::memset(&info, 0xCC, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
  EXPECT_TRUE(GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(&info)));
  EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
  EXPECT_EQ(info.wProductType, VER_NT_WORKSTATION);
  EXPECT_EQ(info.wServicePackMinor, 0);
  return {info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber, info.szCSDVersion, info.wServicePackMajor};
}

TEST_F(SystemInfo, AFreshMachineIsWindowsXp) {
  Version version = Query();
  EXPECT_EQ(version.major, 5u);
  EXPECT_EQ(version.minor, 1u);
  EXPECT_EQ(version.build, 2600u);
  EXPECT_EQ(version.servicePack, u"");
  EXPECT_EQ(version.servicePackMajor, 0);
}

TEST_F(SystemInfo, TheHiveOverridesTheVersion) {
  SetNumber(u"CurrentMajorVersionNumber", 6);
  SetNumber(u"CurrentMinorVersionNumber", 0);
  SetString(HKEY_LOCAL_MACHINE, kVersionKey, u"CurrentBuildNumber", u"6002");
  SetString(HKEY_LOCAL_MACHINE, kVersionKey, u"CSDVersion", u"Service Pack 2");
  Version version = Query();
  EXPECT_EQ(version.major, 6u);
  EXPECT_EQ(version.minor, 0u);
  EXPECT_EQ(version.build, 6002u);
  EXPECT_EQ(version.servicePack, u"Service Pack 2");
  EXPECT_EQ(version.servicePackMajor, 2);

  // The short record gets the same answer.
  OSVERSIONINFOW plain{};
  plain.dwOSVersionInfoSize = sizeof plain;
  ASSERT_TRUE(GetVersionExW(&plain));
  EXPECT_EQ(plain.dwMajorVersion, 6u);
  EXPECT_EQ(std::u16string(plain.szCSDVersion), u"Service Pack 2");
}

TEST_F(SystemInfo, DamagedVersionValuesFallBackToTheDefaults) {
  const WORD shortNumber = 6;
  Set(HKEY_LOCAL_MACHINE, kVersionKey, u"CurrentMajorVersionNumber", REG_BINARY, &shortNumber, sizeof shortNumber);
  SetString(HKEY_LOCAL_MACHINE, kVersionKey, u"CurrentMinorVersionNumber", u"0");  // not a number value
  SetString(HKEY_LOCAL_MACHINE, kVersionKey, u"CurrentBuildNumber", u"26x0");
  SetString(HKEY_LOCAL_MACHINE, kVersionKey, u"CSDVersion", std::u16string(300, u'S'));
  Version version = Query();
  EXPECT_EQ(version.major, 5u);
  EXPECT_EQ(version.minor, 1u);
  EXPECT_EQ(version.build, 2600u);
  EXPECT_EQ(version.servicePack, std::u16string(127, u'S')) << "cut to the field with its NUL";
}

TEST_F(SystemInfo, TheRecordSizeIsCheckedAndTheShortRecordNotOverrun) {
  struct Case {
    DWORD size;
    BOOL result;
  };
  const Case cases[] = {{0, FALSE},
                        {sizeof(OSVERSIONINFOW) - 1, FALSE},
                        {sizeof(OSVERSIONINFOW), TRUE},
                        {sizeof(OSVERSIONINFOW) + 1, FALSE},
                        {sizeof(OSVERSIONINFOEXW), TRUE},
                        {sizeof(OSVERSIONINFOEXW) + 4, FALSE}};
  for (const Case& c : cases) {
    BYTE record[sizeof(OSVERSIONINFOEXW) + 16];
    std::memset(record, 0xAB, sizeof record);
    auto* info = reinterpret_cast<LPOSVERSIONINFOW>(record);
    info->dwOSVersionInfoSize = c.size;
    SetLastError(0);
    EXPECT_EQ(GetVersionExW(info), c.result) << c.size;
    if (!c.result) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
      continue;
    }
    for (size_t i = c.size; i < sizeof record; ++i) ASSERT_EQ(record[i], 0xAB) << "byte " << i << " of " << c.size;
  }
  SetLastError(0);
  EXPECT_FALSE(GetVersionExW(nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(SystemInfo, LanguagesComeFromTheHive) {
  struct Case {
    const char16_t* system;  // null: the value is deleted
    const char16_t* user;    // null: no user locale
    LANGID systemLanguage;
    LANGID userLanguage;
    LCID userLocale;
  };
  const Case cases[] = {
      {u"0409", nullptr, 1033, 1033, 1033},        {u"0411", nullptr, 1041, 1041, 1041},
      {u"0804", nullptr, 2052, 2052, 2052},        {u"0411", u"00000412", 1041, 1042, 1042},
      {u"0412", u"00010412", 1042, 1042, 0x10412},  // a sort order kept in the locale
      {u"zz", nullptr, 1033, 1033, 1033},           // unreadable: English
      {u"04090", u"0000041", 1033, 0x41, 0x41},     // too many digits for a language id
      {u"0000", u"00000000", 1033, 1033, 1033},     // no language
      {nullptr, nullptr, 1033, 1033, 1033},
  };
  for (const Case& c : cases) {
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kLanguageKey, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    if (c.system) {
      SetString(HKEY_LOCAL_MACHINE, kLanguageKey, u"Default", c.system);
    } else {
      EXPECT_EQ(RegDeleteValueW(key, u"Default"), ERROR_SUCCESS);
    }
    RegCloseKey(key);
    if (c.user) {
      SetString(HKEY_CURRENT_USER, u"Control Panel\\International", u"Locale", c.user);
    } else {
      RegDeleteKeyW(HKEY_CURRENT_USER, u"Control Panel\\International");
    }
    std::string label = c.system ? nb::text::Utf16ToUtf8(c.system) : "none";
    EXPECT_EQ(GetSystemDefaultLangID(), c.systemLanguage) << label;
    EXPECT_EQ(GetSystemDefaultLCID(), MAKELCID(c.systemLanguage, SORT_DEFAULT)) << label;
    EXPECT_EQ(GetUserDefaultLangID(), c.userLanguage) << label;
    EXPECT_EQ(GetUserDefaultLCID(), c.userLocale) << label;
  }
}

TEST_F(SystemInfo, TheFirstBootTakesTheLanguageOfTheLocale) {
  nb::kernel::RegistryHive& hive = machine.Kernel().Registry();
  HKEY key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kLanguageKey, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  const struct {
    const char* locale;
    LANGID language;
  } cases[] = {{"ja_JP.UTF-8", 1041}, {"ko_KR.UTF-8", 1042}, {"zh_CN.UTF-8", 2052}, {"fr_FR.UTF-8", 1033}};
  for (const auto& c : cases) {
    ASSERT_EQ(RegDeleteValueW(key, u"Default"), ERROR_SUCCESS);
    ASSERT_EQ(nb::kernel::SeedMachineDefaults(hive, c.locale), STATUS_SUCCESS);
    EXPECT_EQ(GetSystemDefaultLangID(), c.language) << c.locale;
    WCHAR stored[8] = {};
    DWORD size = sizeof stored;
    EXPECT_EQ(RegQueryValueExW(key, u"Default", nullptr, nullptr, reinterpret_cast<BYTE*>(stored), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 10u) << "four digits and the NUL";
  }
  RegCloseKey(key);
}

TEST(SystemInfoWithoutMachine, TheDefaultsAnswer) {
  nb::win::SetTransport(nullptr);
  EXPECT_EQ(Query().major, 5u);
  EXPECT_EQ(GetSystemDefaultLangID(), 1033);
  EXPECT_EQ(GetUserDefaultLCID(), 1033u);
}

}  // namespace
