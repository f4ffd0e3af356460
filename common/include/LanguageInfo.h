// The user-interface language the product was installed with: the "LANGUAGE" value of
// its uninstall key, and the record that names the language and its resource modules'
// two-letter extension ("EN", "JP", "KO", "CH").
#pragma once

#include <cstddef>

#include <windows.h>

struct LanguageInfo {
  INT index;      // the stored value
  WORD primary;   // primary language id
  WORD sub;       // sublanguage id
  WORD reserved;  // set to 0 by the caller
  WCHAR code[3];  // the two-letter code
};

static_assert(sizeof(LanguageInfo) == 16);
static_assert(offsetof(LanguageInfo, primary) == 4);
static_assert(offsetof(LanguageInfo, sub) == 6);
static_assert(offsetof(LanguageInfo, reserved) == 8);
static_assert(offsetof(LanguageInfo, code) == 10);

// Reads "LANGUAGE" of the product's uninstall key
// HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\<installKey>:
// 0 Korean, 1 Chinese (simplified), 2 Japanese, any other English. False, with `info`
// unchanged, when the key or the value cannot be read.
bool GetLanguageInfo(LPCWSTR installKey, LanguageInfo* info);
