// The settings every machine starts with and where its hive keeps them: the Windows
// environment, the system language and the Windows version. The kernel writes them on
// first boot (nb/kernel/machine_defaults.h); libnbwin reads them back and falls back to
// these values when the hive cannot be read.
#pragma once

#include <cstdint>
#include <string_view>

#include "nb/registry_types.h"

namespace nb::machine {

// Keys below HKEY_LOCAL_MACHINE.

// The system's environment variables, one value per variable. REG_EXPAND_SZ values are
// expanded against the REG_SZ ones when read.
inline constexpr std::u16string_view kEnvironmentKey =
    u"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

// The system default language: "Default", REG_SZ, the language id in four hexadecimal
// digits ("0409"), as Windows keeps it.
inline constexpr std::u16string_view kLanguageKey = u"SYSTEM\\CurrentControlSet\\Control\\Nls\\Language";
inline constexpr std::u16string_view kLanguageValue = u"Default";

// The version GetVersionExW reports: major and minor as REG_DWORD values, the build as a
// REG_SZ decimal number and the service pack text as REG_SZ (absent: none). Tests of
// major-6 behaviour write CurrentMajorVersionNumber = 6.
inline constexpr std::u16string_view kVersionKey = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
inline constexpr std::u16string_view kMajorVersionValue = u"CurrentMajorVersionNumber";
inline constexpr std::u16string_view kMinorVersionValue = u"CurrentMinorVersionNumber";
inline constexpr std::u16string_view kBuildNumberValue = u"CurrentBuildNumber";
inline constexpr std::u16string_view kServicePackValue = u"CSDVersion";

// Below HKEY_CURRENT_USER: a user's own locale overrides the system language for
// GetUserDefaultLangID: "Locale", REG_SZ, the locale id in eight hexadecimal digits.
inline constexpr std::u16string_view kUserInternationalKey = u"Control Panel\\International";
inline constexpr std::u16string_view kUserLocaleValue = u"Locale";

struct EnvironmentDefault {
  std::u16string_view name;
  ULONG type;  // REG_SZ or REG_EXPAND_SZ
  std::u16string_view value;
};

// The folders named here are the ones nbhost creates on drive C: at first boot, in the
// same case (hostfs is case-sensitive).
inline constexpr EnvironmentDefault kEnvironmentDefaults[] = {
    {u"SystemDrive", REG_SZ, u"C:"},
    {u"SystemRoot", REG_SZ, u"C:\\Windows"},
    {u"windir", REG_EXPAND_SZ, u"%SystemRoot%"},
    {u"ProgramFiles", REG_SZ, u"C:\\Program Files"},
    {u"CommonProgramFiles", REG_SZ, u"C:\\Program Files\\Common Files"},
    {u"ALLUSERSPROFILE", REG_SZ, u"C:\\Documents and Settings\\All Users"},
    {u"TEMP", REG_EXPAND_SZ, u"%SystemRoot%\\TEMP"},
    {u"TMP", REG_EXPAND_SZ, u"%SystemRoot%\\TEMP"},
};

// Where each user's profile folder lives; root's is "Administrator".
inline constexpr std::u16string_view kProfilesFolder = u"C:\\Documents and Settings";
inline constexpr std::u16string_view kRootProfileName = u"Administrator";

// Windows XP: 5.1.2600, no service pack text.
inline constexpr uint32_t kMajorVersion = 5;
inline constexpr uint32_t kMinorVersion = 1;
inline constexpr uint32_t kBuildNumber = 2600;

// United States English.
inline constexpr uint16_t kDefaultLanguage = 0x0409;

}  // namespace nb::machine
