// The Windows version and the default languages, read from the machine's hive with the
// defaults of nb/machine_defaults.h where it holds none.
#include <cstring>
#include <string_view>

#include <windows.h>

#include "machine_values.h"
#include "nb/machine_defaults.h"

namespace {

using nb::win::SettingsKey;

// "Service Pack N" gives N; any other text none.
WORD ServicePackMajor(std::u16string_view text) {
  constexpr std::u16string_view kPrefix = u"Service Pack ";
  if (text.substr(0, kPrefix.size()) != kPrefix) return 0;
  std::optional<DWORD> number = nb::win::ParseDecimal(text.substr(kPrefix.size(), 4));
  return number && *number <= 0xFFFF ? static_cast<WORD>(*number) : 0;
}

LANGID SystemLanguage() {
  SettingsKey key(HKEY_LOCAL_MACHINE, nb::machine::kLanguageKey);
  std::optional<std::u16string> text = key.String(nb::machine::kLanguageValue);
  std::optional<DWORD> language = text ? nb::win::ParseHex(*text, 4) : std::nullopt;
  return language && *language != 0 ? static_cast<LANGID>(*language) : nb::machine::kDefaultLanguage;
}

// The user's own locale, when the user set one.
std::optional<LCID> UserLocale() {
  SettingsKey key(HKEY_CURRENT_USER, nb::machine::kUserInternationalKey);
  std::optional<std::u16string> text = key.String(nb::machine::kUserLocaleValue);
  std::optional<DWORD> locale = text ? nb::win::ParseHex(*text, 8) : std::nullopt;
  if (!locale || LANGIDFROMLCID(*locale) == 0) return std::nullopt;
  return *locale;
}

}  // namespace

BOOL GetVersionExW(LPOSVERSIONINFOW versionInformation) {
  if (!versionInformation) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD size = versionInformation->dwOSVersionInfoSize;
  if (size != sizeof(OSVERSIONINFOW) && size != sizeof(OSVERSIONINFOEXW)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  SettingsKey key(HKEY_LOCAL_MACHINE, nb::machine::kVersionKey);
  std::optional<std::u16string> build = key.String(nb::machine::kBuildNumberValue);
  std::optional<DWORD> buildNumber = build ? nb::win::ParseDecimal(*build) : std::nullopt;
  std::u16string servicePack = key.String(nb::machine::kServicePackValue).value_or(u"");

  versionInformation->dwMajorVersion = key.Number(nb::machine::kMajorVersionValue).value_or(nb::machine::kMajorVersion);
  versionInformation->dwMinorVersion = key.Number(nb::machine::kMinorVersionValue).value_or(nb::machine::kMinorVersion);
  versionInformation->dwBuildNumber = buildNumber.value_or(nb::machine::kBuildNumber);
  versionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
  size_t units = std::min(servicePack.size(), std::size(versionInformation->szCSDVersion) - 1);
  std::memcpy(versionInformation->szCSDVersion, servicePack.data(), units * sizeof(WCHAR));
  std::memset(versionInformation->szCSDVersion + units, 0,
              (std::size(versionInformation->szCSDVersion) - units) * sizeof(WCHAR));
  if (size == sizeof(OSVERSIONINFOEXW)) {
    auto* extended = reinterpret_cast<LPOSVERSIONINFOEXW>(versionInformation);
    extended->wServicePackMajor = ServicePackMajor(servicePack);
    extended->wServicePackMinor = 0;
    extended->wSuiteMask = 0;
    extended->wProductType = VER_NT_WORKSTATION;
    extended->wReserved = 0;
  }
  return TRUE;
}

LANGID GetSystemDefaultLangID() { return SystemLanguage(); }

LANGID GetUserDefaultLangID() {
  std::optional<LCID> locale = UserLocale();
  return locale ? LANGIDFROMLCID(*locale) : SystemLanguage();
}

LCID GetSystemDefaultLCID() { return MAKELCID(SystemLanguage(), SORT_DEFAULT); }

LCID GetUserDefaultLCID() { return UserLocale().value_or(MAKELCID(SystemLanguage(), SORT_DEFAULT)); }
