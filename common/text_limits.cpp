// Messages within the helpers' limits; the log writer's clock.
#include "text_limits.h"

#include <atomic>

#include "LogFile.h"
#include "nb/text.h"

namespace nb::common {

namespace {

std::atomic<LogClock> logClock{nullptr};

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit < 0xDC00; }

}  // namespace

void CutAtCharacter(std::u16string* text, size_t maxUnits) {
  if (text->size() <= maxUnits) return;
  text->resize(maxUnits);
  if (!text->empty() && IsHighSurrogate(text->back())) text->pop_back();
}

std::u16string FormatText(LPCWSTR format, va_list arguments, size_t maxUnits) {
  if (!format) return {};
  std::u16string text = nb::text::FormatWideV(format, arguments);
  CutAtCharacter(&text, maxUnits);
  return text;
}

std::string ToAnsi(std::u16string_view text) {
  if (text.empty()) return {};
  auto units = static_cast<int>(text.size());
  int bytes = WideCharToMultiByte(CP_ACP, 0, text.data(), units, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string ansi(static_cast<size_t>(bytes), '\0');
  if (WideCharToMultiByte(CP_ACP, 0, text.data(), units, ansi.data(), bytes, nullptr, nullptr) != bytes) return {};
  return ansi;
}

time_t LogNow() {
  LogClock clock = logClock.load();
  return clock ? clock() : std::time(nullptr);
}

}  // namespace nb::common

void SetLogClock(LogClock clock) { nb::common::logClock.store(clock); }
