// Text helpers shared by kernel and user mode: UTF-8/UTF-16 conversion and
// printf-style formatting that understands the Windows wide-string conversions.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

namespace nb::text {

std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);
// Appends one code point (at most U+10FFFF, not a surrogate) in UTF-8.
void AppendUtf8(std::string& out, char32_t code);

// Length of a NUL-terminated UTF-16 string, reading at most `limit` units.
size_t Utf16Length(const char16_t* s, size_t limit = static_cast<size_t>(-1));

// Narrow format: %s is an 8-bit string; %ws, %ls and %S are UTF-16 strings (converted
// to UTF-8); %wc and %C a UTF-16 unit. Numbers as printf (%d %u %x %X %o %c %p, with
// flags, width, precision and the l, ll, h, I64 sizes).
std::string FormatV(const char* format, va_list args);
std::string Format(const char* format, ...);

// Wide format: %s and %ws are UTF-16 strings, %S and %hs 8-bit strings; %c a UTF-16 unit.
std::u16string FormatWideV(const char16_t* format, va_list args);
std::u16string FormatWide(const char16_t* format, ...);

}  // namespace nb::text
