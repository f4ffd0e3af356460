// The default-language lookup.
#include "LanguageInfo.h"

#include <string>

#include "RegKey.h"
#include "nb/text.h"

namespace {

constexpr const char16_t* kUninstallKeyFormat =
    u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\%s";
constexpr const char16_t* kLanguageValue = u"LANGUAGE";

struct Language {
  INT index;
  WORD primary;
  WORD sub;
  const char16_t* code;
};

constexpr Language kLanguages[] = {
    {0, LANG_KOREAN, SUBLANG_DEFAULT, u"KO"},
    {1, LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED, u"CH"},
    {2, LANG_JAPANESE, SUBLANG_DEFAULT, u"JP"},
};
constexpr Language kEnglish = {3, LANG_ENGLISH, SUBLANG_ENGLISH_US, u"EN"};

}  // namespace

bool GetLanguageInfo(LPCWSTR installKey, LanguageInfo* info) {
  if (!installKey || !info) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  RegKey key;
  if (!key.Open(nb::text::FormatWide(kUninstallKeyFormat, installKey).c_str())) return false;
  INT stored;
  if (!key.ReadNumber(kLanguageValue, &stored)) return false;

  const Language* language = &kEnglish;
  for (const Language& known : kLanguages) {
    if (known.index == stored) language = &known;
  }
  info->index = stored;
  info->primary = language->primary;
  info->sub = language->sub;
  info->code[0] = language->code[0];
  info->code[1] = language->code[1];
  info->code[2] = 0;
  return true;
}
