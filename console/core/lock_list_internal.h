// Small helpers shared by the lock list's files.
#pragma once

#include <string>
#include <string_view>

#include <windows.h>

#include "VAULTSdk.h"

namespace nb::console::detail {

// A fixed field's text up to its NUL (or its end).
std::u16string Field(const WCHAR* field, size_t units);
// Writes `text` (cut to the field) NUL-terminated into a cleared field.
void SetField(WCHAR* field, size_t units, std::u16string_view text);
// Paths equal ignoring the case of ASCII letters.
bool SamePathIgnoringCase(const WCHAR* a, const WCHAR* b);
// The same lock: the same path on the same volume.
bool SameLock(const _LCK_INFORMAION& a, const _LCK_INFORMAION& b);

inline WCHAR UpperLetter(WCHAR letter) {
  return letter >= u'a' && letter <= u'z' ? static_cast<WCHAR>(letter - u'a' + u'A') : letter;
}

}  // namespace nb::console::detail
