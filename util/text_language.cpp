// SysMessage and GetDefaultLang.
#include <algorithm>
#include <cstring>

#include "NBUtil.h"

namespace {

constexpr DWORD kSystemTextUnits = 1024;

}  // namespace

int SysMessage(unsigned code, WCHAR* out) {
  if (!out) return 0;
  WCHAR text[kSystemTextUnits];
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, kSystemTextUnits, nullptr);
  length = std::min(length, kSystemTextUnits - 1);
  std::copy_n(text, length, out);
  out[length] = 0;
  return static_cast<int>(length);
}

int GetDefaultLang(LanguageInfo* out) {
  if (!out) return 0;
  std::memset(out, 0, sizeof *out);
  out->index = 3;
  out->primary = LANG_ENGLISH;
  out->sub = SUBLANG_ENGLISH_US;
  out->reserved = 0;
  out->code[0] = u'E';
  out->code[1] = u'N';
  return GetLanguageInfo(NBUTIL_INSTALL_ID, out) ? 1 : 0;
}
