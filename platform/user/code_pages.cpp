// Conversions between UTF-16 and the code pages: the ANSI code page is UTF-8.
#include <cstdint>
#include <cstring>
#include <string>

#include <windows.h>

#include "nb/text.h"

namespace {

int Fail(DWORD error) {
  SetLastError(error);
  return 0;
}

bool IsServedCodePage(UINT codePage) { return codePage == CP_ACP || codePage == CP_UTF8; }

}  // namespace

int WideCharToMultiByte(UINT codePage, DWORD, LPCWSTR wideText, int wideChars, LPSTR multiByteText, int multiBytes,
                        LPCSTR, LPBOOL usedDefaultChar) {
  if (!IsServedCodePage(codePage) || !wideText || wideChars == 0 || wideChars < -1 || multiBytes < 0 ||
      (multiBytes > 0 && !multiByteText))
    return Fail(ERROR_INVALID_PARAMETER);
  // -1 converts the NUL too.
  size_t units = wideChars == -1 ? nb::text::Utf16Length(wideText) + 1 : static_cast<size_t>(wideChars);
  std::string converted = nb::text::Utf16ToUtf8(std::u16string_view(wideText, units));
  if (usedDefaultChar) *usedDefaultChar = FALSE;
  if (converted.size() > static_cast<size_t>(INT32_MAX)) return Fail(ERROR_INSUFFICIENT_BUFFER);
  int needed = static_cast<int>(converted.size());
  if (multiBytes == 0) return needed;
  if (multiBytes < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(multiByteText, converted.data(), converted.size());
  return needed;
}

int MultiByteToWideChar(UINT codePage, DWORD, LPCSTR multiByteText, int multiBytes, LPWSTR wideText, int wideChars) {
  if (!IsServedCodePage(codePage) || !multiByteText || multiBytes == 0 || multiBytes < -1 || wideChars < 0 ||
      (wideChars > 0 && !wideText))
    return Fail(ERROR_INVALID_PARAMETER);
  size_t bytes = multiBytes == -1 ? std::strlen(multiByteText) + 1 : static_cast<size_t>(multiBytes);
  std::u16string converted = nb::text::Utf8ToUtf16(std::string_view(multiByteText, bytes));
  if (converted.size() > static_cast<size_t>(INT32_MAX)) return Fail(ERROR_INSUFFICIENT_BUFFER);
  int needed = static_cast<int>(converted.size());
  if (wideChars == 0) return needed;
  if (wideChars < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(wideText, converted.data(), converted.size() * sizeof(WCHAR));
  return needed;
}
