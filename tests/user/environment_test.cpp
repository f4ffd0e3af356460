// The Windows environment of libnbwin over an in-process machine: %NAME% expansion and
// its buffer rules, variables served from the machine's hive (and its defaults when no
// machine answers), the caller's profile, and the Windows and system folders.
#include <pwd.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include <windows.h>

#include "nb/kernel/machine_defaults.h"
#include "nb/kernel/registry.h"
#include "nb/testing/machine.h"
#include "nb/win/environment.h"
#include "nb/win/in_process.h"

namespace {

constexpr const char16_t* kEnvironmentKey = u"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

std::u16string Expand(const char16_t* text) {
  WCHAR buffer[512];
  DWORD needed = ExpandEnvironmentStringsW(text, buffer, 512);
  EXPECT_GT(needed, 0u);
  EXPECT_LE(needed, 512u);
  return needed ? std::u16string(buffer, needed - 1) : u"(failed)";
}

std::u16string Profile() {
  return u"C:\\Documents and Settings\\" + nb::win::ProfileUserName(static_cast<uint32_t>(::geteuid()));
}

class Environment : public ::testing::Test {
 protected:
  void SetUp() override {
    transport.ActAsUser(0);
    nb::win::SetTransport(&transport);
  }
  void TearDown() override { nb::win::SetTransport(nullptr); }

  void SetVariable(const char16_t* name, DWORD type, const std::u16string& value) {
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEnvironmentKey, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR))),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  void DeleteVariable(const char16_t* name) {
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEnvironmentKey, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(key, name), ERROR_SUCCESS);
    RegCloseKey(key);
  }

  nb::testing::Machine machine;
  nb::win::InProcessTransport transport;
};

TEST_F(Environment, ExpansionFollowsWindowsRules) {
  struct Case {
    const char16_t* text;
    std::u16string expanded;
  };
  const Case cases[] = {
      {u"%SystemRoot%", u"C:\\Windows"},
      {u"%WINDIR%\\TEMP\\NB", u"C:\\Windows\\TEMP\\NB"},  // names ignore case
      {u"%windir%", u"C:\\Windows"},
      {u"%systemdrive%", u"C:"},
      {u"%TEMP%", u"C:\\Windows\\TEMP"},  // expandable values come expanded
      {u"%TMP%", u"C:\\Windows\\TEMP"},
      {u"%ProgramFiles%\\Nimbra", u"C:\\Program Files\\Nimbra"},
      {u"%CommonProgramFiles%", u"C:\\Program Files\\Common Files"},
      {u"%ALLUSERSPROFILE%", u"C:\\Documents and Settings\\All Users"},
      {u"%USERPROFILE%\\Recent", Profile() + u"\\Recent"},
      {u"%SystemDrive%%SystemDrive%", u"C:C:"},
      {u"no variables", u"no variables"},
      {u"", u""},
      {u"%Unknown%", u"%Unknown%"},  // unknown names stay as written
      {u"%Unknown%SystemDrive%", u"%Unknown%SystemDrive%"},
      {u"100%", u"100%"},
      {u"%%", u"%%"},
      {u"50% of %SystemDrive%", u"50% of %SystemDrive%"},  // "% of " is an unknown name
      {u"%SystemDrive", u"%SystemDrive"},
      {u"x%SystemDrive%%", u"xC:%"},
      {u"%Path With Spaces%", u"%Path With Spaces%"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Expand(c.text), c.expanded) << std::string(c.text, c.text + std::char_traits<char16_t>::length(c.text));
  }
}

TEST_F(Environment, ExpansionReportsTheSizeNeededWithTheNul) {
  const std::u16string expected = u"C:\\Windows\\TEMP\\NB";  // 18 characters
  struct Case {
    bool withBuffer;
    DWORD size;
    bool written;
  };
  const Case cases[] = {{false, 0, false}, {true, 0, false}, {true, 18, false}, {true, 19, true}, {true, 64, true}};
  for (const Case& c : cases) {
    WCHAR buffer[64];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    DWORD result = ExpandEnvironmentStringsW(u"%windir%\\TEMP\\NB", c.withBuffer ? buffer : nullptr, c.size);
    EXPECT_EQ(result, 19u) << c.size;
    if (c.written) {
      EXPECT_EQ(std::u16string(buffer), expected);
    } else {
      EXPECT_EQ(buffer[0], u'#') << "a short buffer is left alone";
    }
  }
  SetLastError(0);
  EXPECT_EQ(ExpandEnvironmentStringsW(nullptr, nullptr, 0), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(Environment, VariablesAndTheirBufferRules) {
  struct Case {
    const char16_t* name;
    std::u16string value;  // empty: unknown
  };
  const Case cases[] = {
      {u"SystemRoot", u"C:\\Windows"},
      {u"SYSTEMROOT", u"C:\\Windows"},
      {u"windir", u"C:\\Windows"},
      {u"TEMP", u"C:\\Windows\\TEMP"},
      {u"SystemDrive", u"C:"},
      {u"USERPROFILE", Profile()},
      {u"Path", u""},
      {u"HOME", u""},
      {u"", u""},
  };
  for (const Case& c : cases) {
    WCHAR buffer[MAX_PATH];
    SetLastError(0);
    DWORD length = GetEnvironmentVariableW(c.name, buffer, MAX_PATH);
    if (c.value.empty()) {
      EXPECT_EQ(length, 0u);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND));
      continue;
    }
    ASSERT_EQ(length, c.value.size());
    EXPECT_EQ(std::u16string(buffer), c.value);
    // A buffer one short asks for the size with the NUL and is left alone.
    buffer[0] = u'#';
    EXPECT_EQ(GetEnvironmentVariableW(c.name, buffer, length), length + 1);
    EXPECT_EQ(buffer[0], u'#');
    EXPECT_EQ(GetEnvironmentVariableW(c.name, nullptr, 0), length + 1);
  }
  EXPECT_EQ(GetEnvironmentVariableW(nullptr, nullptr, 0), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND));
}

TEST_F(Environment, TheHiveIsReadOnEveryCall) {
  SetVariable(u"SystemRoot", REG_SZ, u"D:\\WINNT");
  EXPECT_EQ(Expand(u"%windir%|%TEMP%"), u"D:\\WINNT|D:\\WINNT\\TEMP");
  WCHAR folder[MAX_PATH];
  ASSERT_EQ(GetWindowsDirectoryW(folder, MAX_PATH), 8u);
  EXPECT_EQ(std::u16string(folder), u"D:\\WINNT");
  ASSERT_EQ(GetSystemDirectoryW(folder, MAX_PATH), 17u);
  EXPECT_EQ(std::u16string(folder), u"D:\\WINNT\\system32");

  SetVariable(u"NIMBRA", REG_SZ, u"50%");
  EXPECT_EQ(Expand(u"%nimbra%%SystemDrive%"), u"50%C:") << "a value is not expanded again";
  DeleteVariable(u"TEMP");
  EXPECT_EQ(Expand(u"%TEMP%"), u"%TEMP%");
  EXPECT_EQ(GetEnvironmentVariableW(u"TEMP", folder, MAX_PATH), 0u);
}

TEST_F(Environment, TheKeysDefaultValueIsNoVariable) {
  SetVariable(nullptr, REG_SZ, u"default");
  SetVariable(u"A=B", REG_SZ, u"odd");
  WCHAR buffer[MAX_PATH];
  EXPECT_EQ(GetEnvironmentVariableW(u"", buffer, MAX_PATH), 0u);
  EXPECT_EQ(GetEnvironmentVariableW(u"A=B", buffer, MAX_PATH), 0u);
  EXPECT_EQ(Expand(u"%%|%A=B%"), u"%%|%A=B%");
}

TEST_F(Environment, ExpandableValuesReferToPlainValuesOnly) {
  SetVariable(u"LOOP", REG_EXPAND_SZ, u"%LOOP%x");
  SetVariable(u"PING", REG_EXPAND_SZ, u"%PONG%");
  SetVariable(u"PONG", REG_EXPAND_SZ, u"%PING%");
  SetVariable(u"NB_LOGS", REG_EXPAND_SZ, u"%SystemRoot%\\TEMP\\NB;%USERPROFILE%");
  EXPECT_EQ(Expand(u"%LOOP%"), u"%LOOP%x");
  EXPECT_EQ(Expand(u"%PING%"), u"%PONG%");
  EXPECT_EQ(Expand(u"%NB_LOGS%"), u"C:\\Windows\\TEMP\\NB;" + Profile());
}

TEST_F(Environment, SeedingKeepsWhatTheHiveHolds) {
  SetVariable(u"TEMP", REG_SZ, u"C:\\Scratch");
  DeleteVariable(u"TMP");
  ASSERT_EQ(nb::kernel::SeedMachineDefaults(machine.Kernel().Registry(), "ko_KR.UTF-8"), STATUS_SUCCESS);
  EXPECT_EQ(Expand(u"%TEMP%|%TMP%"), u"C:\\Scratch|C:\\Windows\\TEMP");
  EXPECT_EQ(GetSystemDefaultLangID(), 1033) << "the language of the first boot stays";

  HKEY key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEnvironmentKey, 0, KEY_READ, &key), ERROR_SUCCESS);
  DWORD type = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"TMP", nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(RegQueryValueExW(key, u"SystemRoot", nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  RegCloseKey(key);
}

TEST_F(Environment, WindowsAndSystemFoldersFollowTheReturnRules) {
  struct Case {
    UINT (*call)(LPWSTR, UINT);
    std::u16string folder;
  };
  const Case cases[] = {{GetWindowsDirectoryW, u"C:\\Windows"}, {GetSystemDirectoryW, u"C:\\Windows\\system32"}};
  for (const Case& c : cases) {
    auto length = static_cast<UINT>(c.folder.size());
    WCHAR buffer[MAX_PATH];
    EXPECT_EQ(c.call(nullptr, 0), length + 1);
    buffer[0] = u'#';
    EXPECT_EQ(c.call(buffer, length), length + 1) << "too small: the size with the NUL";
    EXPECT_EQ(buffer[0], u'#');
    EXPECT_EQ(c.call(buffer, length + 1), length);
    EXPECT_EQ(std::u16string(buffer), c.folder);
  }
}

TEST(EnvironmentWithoutMachine, TheMachineDefaultsAnswer) {
  nb::win::SetTransport(nullptr);
  EXPECT_EQ(Expand(u"%WINDIR%\\TEMP\\NB|%TMP%|%Path%"), u"C:\\Windows\\TEMP\\NB|C:\\Windows\\TEMP|%Path%");
  WCHAR folder[MAX_PATH];
  ASSERT_EQ(GetWindowsDirectoryW(folder, MAX_PATH), 10u);
  EXPECT_EQ(std::u16string(folder), u"C:\\Windows");
}

TEST(ProfileUserName, RootIsAdministratorOthersTheirLogin) {
  EXPECT_EQ(nb::win::ProfileUserName(0), u"Administrator");
  EXPECT_EQ(nb::win::ProfileUserName(3999999999u), u"3999999999") << "no password entry";
  struct passwd* nobody = getpwnam("nobody");
  if (nobody) {
    EXPECT_EQ(nb::win::ProfileUserName(nobody->pw_uid), u"nobody");
  }
}

TEST(LanguageIdOfLocale, FollowsTheLanguageOfTheLocale) {
  struct Case {
    const char* locale;
    uint16_t language;
  };
  const Case cases[] = {
      {"zh_CN.UTF-8", 2052},
      {"zh_CN", 2052},
      {"zh_TW.UTF-8", 1033},
      {"zh", 1033},
      {"ja_JP.UTF-8", 1041},
      {"ja", 1041},
      {"ja_JP@x", 1041},
      {"ko_KR.UTF-8", 1042},
      {"en_US.UTF-8", 1033},
      {"C", 1033},
      {"", 1033},
      {"POSIX", 1033},
      {"jam_JM", 1033},
      {"de_DE", 1033},
  };
  for (const Case& c : cases) EXPECT_EQ(nb::kernel::LanguageIdOfLocale(c.locale), c.language) << c.locale;
}

}  // namespace
