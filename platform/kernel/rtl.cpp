// Run-time library: counted strings, bounded formatting and time conversion.
#include <ctime>
#include <string>

#include <ntifs.h>

#include "nb/text.h"

VOID RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
  destination->Buffer = const_cast<PWSTR>(source);
  if (!source) {
    destination->Length = destination->MaximumLength = 0;
    return;
  }
  size_t units = nb::text::Utf16Length(source, 0x7FFE);
  destination->Length = static_cast<USHORT>(units * sizeof(WCHAR));
  destination->MaximumLength = static_cast<USHORT>(destination->Length + sizeof(WCHAR));
}

VOID RtlInitAnsiString(PANSI_STRING destination, PCSTR source) {
  destination->Buffer = const_cast<PCHAR>(source);
  size_t n = source ? strnlen(source, 0xFFFE) : 0;
  destination->Length = static_cast<USHORT>(n);
  destination->MaximumLength = static_cast<USHORT>(source ? n + 1 : 0);
}

// Case mapping independent of the process locale: ASCII, Latin-1, Latin Extended-A,
// Greek and Cyrillic, which covers the folder names the system meets.
WCHAR RtlDowncaseUnicodeChar(WCHAR c) {
  if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3AB && c != 0x3A2) ||
      (c >= 0x410 && c <= 0x42F))
    return static_cast<WCHAR>(c + 0x20);
  if (c >= 0x400 && c <= 0x40F) return static_cast<WCHAR>(c + 0x50);
  if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149 && c != 0x17F) {
    bool evenIsUpper = (c < 0x138) || (c > 0x148 && c < 0x178);
    if (evenIsUpper ? (c % 2 == 0) : (c % 2 == 1)) return static_cast<WCHAR>(c + 1);
  }
  return c;
}

WCHAR RtlUpcaseUnicodeChar(WCHAR c) {
  if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) ||
      (c >= 0x430 && c <= 0x44F))
    return static_cast<WCHAR>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<WCHAR>(c - 0x50);
  if (c >= 0x100 && c <= 0x17F && RtlDowncaseUnicodeChar(static_cast<WCHAR>(c - 1)) == c) return static_cast<WCHAR>(c - 1);
  return c;
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive) {
  if (a->Length != b->Length) return FALSE;
  for (USHORT i = 0; i < a->Length / sizeof(WCHAR); ++i) {
    WCHAR x = a->Buffer[i];
    WCHAR y = b->Buffer[i];
    if (caseInsensitive) {
      x = RtlUpcaseUnicodeChar(x);
      y = RtlUpcaseUnicodeChar(y);
    }
    if (x != y) return FALSE;
  }
  return TRUE;
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING destination, const ANSI_STRING* source,
                                      BOOLEAN allocateDestination) {
  std::u16string wide = nb::text::Utf8ToUtf16(std::string_view(source->Buffer, source->Length));
  size_t bytes = wide.size() * sizeof(WCHAR);
  if (bytes + sizeof(WCHAR) > 0xFFFF) return STATUS_INVALID_PARAMETER;
  if (allocateDestination) {
    destination->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), 'rtsU'));
    if (!destination->Buffer) return STATUS_NO_MEMORY;
    destination->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  } else if (destination->MaximumLength < bytes) {
    return STATUS_BUFFER_OVERFLOW;
  }
  std::memcpy(destination->Buffer, wide.data(), bytes);
  if (destination->MaximumLength >= bytes + sizeof(WCHAR)) destination->Buffer[wide.size()] = 0;
  destination->Length = static_cast<USHORT>(bytes);
  return STATUS_SUCCESS;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING string) {
  if (string->Buffer) ExFreePool(string->Buffer);
  string->Buffer = nullptr;
  string->Length = string->MaximumLength = 0;
}

int _vsnprintf(char* buffer, size_t count, const char* format, va_list args) {
  std::string text = nb::text::FormatV(format, args);
  if (text.size() > count) {
    std::memcpy(buffer, text.data(), count);
    return -1;
  }
  std::memcpy(buffer, text.data(), text.size());
  if (text.size() < count) buffer[text.size()] = 0;
  return static_cast<int>(text.size());
}

int _snprintf(char* buffer, size_t count, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = _vsnprintf(buffer, count, format, args);
  va_end(args);
  return n;
}

namespace {
// 100-nanosecond intervals between 1601-01-01 and 1970-01-01.
constexpr LONGLONG kEpochDifference = 116444736000000000LL;
constexpr LONGLONG kTicksPerSecond = 10000000LL;
}  // namespace

VOID KeQuerySystemTime(PLARGE_INTEGER currentTime) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  currentTime->QuadPart = kEpochDifference + now.tv_sec * kTicksPerSecond + now.tv_nsec / 100;
}

VOID ExSystemTimeToLocalTime(PLARGE_INTEGER systemTime, PLARGE_INTEGER localTime) {
  time_t seconds = static_cast<time_t>((systemTime->QuadPart - kEpochDifference) / kTicksPerSecond);
  tm local{};
  localtime_r(&seconds, &local);
  localTime->QuadPart = systemTime->QuadPart + static_cast<LONGLONG>(local.tm_gmtoff) * kTicksPerSecond;
}

VOID RtlTimeToTimeFields(PLARGE_INTEGER time, PTIME_FIELDS timeFields) {
  LONGLONG ticks = time->QuadPart - kEpochDifference;
  time_t seconds = static_cast<time_t>(ticks / kTicksPerSecond);
  LONGLONG rest = ticks % kTicksPerSecond;
  if (rest < 0) {
    rest += kTicksPerSecond;
    --seconds;
  }
  tm fields{};
  gmtime_r(&seconds, &fields);
  timeFields->Year = static_cast<SHORT>(fields.tm_year + 1900);
  timeFields->Month = static_cast<SHORT>(fields.tm_mon + 1);
  timeFields->Day = static_cast<SHORT>(fields.tm_mday);
  timeFields->Hour = static_cast<SHORT>(fields.tm_hour);
  timeFields->Minute = static_cast<SHORT>(fields.tm_min);
  timeFields->Second = static_cast<SHORT>(fields.tm_sec);
  timeFields->Milliseconds = static_cast<SHORT>(rest / 10000);
  timeFields->Weekday = static_cast<SHORT>(fields.tm_wday);
}
