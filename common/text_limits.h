// Formatting of messages within the helpers' limits, and their ANSI form.
#pragma once

#include <cstdarg>
#include <ctime>
#include <string>
#include <string_view>

#include <windows.h>

namespace nb::common {

// The text of `format` and its values, cut to at most `maxUnits` units without
// splitting a surrogate pair.
std::u16string FormatText(LPCWSTR format, va_list arguments, size_t maxUnits);
void CutAtCharacter(std::u16string* text, size_t maxUnits);

// The text in the ANSI code page, in a buffer sized for it: a line of Japanese, Korean or
// Chinese takes up to three bytes a character and is never dropped for its length.
std::string ToAnsi(std::u16string_view text);

// The current time of the log writer's clock.
time_t LogNow();

}  // namespace nb::common
