// The log writer: a file per period in the Windows folder's TEMP\<sub-folder>, one line
// appended per message, and the service's LogMessage.
#include "LogFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>

#include "nb/text.h"
#include "nb/win/host_path.h"
#include "text_limits.h"

namespace {

constexpr const char16_t* kServiceModule = u"NBSvc";
constexpr const char16_t* kLogFolder = u"NB";
constexpr mode_t kLogFileMode = 0666;  // less the umask, as fopen makes files

// Copies `text` into a field of `units` characters, cut to fit with its NUL.
template <size_t units>
void CopyField(WCHAR (&field)[units], LPCWSTR text) {
  size_t length = text ? nb::text::Utf16Length(text, units - 1) : 0;
  std::char_traits<char16_t>::copy(field, text ? text : u"", length);
  field[length] = 0;
}

tm LocalTime(time_t time) {
  tm local{};
  localtime_r(&time, &local);
  return local;
}

// The file name: year to second, with the fields finer than the period written as 0.
std::u16string TimeStampName(const tm& local, int period) {
  int hour = period == LOG_PERIOD_DAY ? 0 : local.tm_hour;
  int minute = period == LOG_PERIOD_DAY || period == LOG_PERIOD_HOUR ? 0 : local.tm_min;
  int second = period == LOG_PERIOD_DAY || period == LOG_PERIOD_HOUR || period == LOG_PERIOD_MINUTE ? 0 : local.tm_sec;
  return nb::text::FormatWide(u"%04d%02d%02d%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, hour,
                              minute, second);
}

// The asctime text ("Sat Mar  9 23:59:59 2024\n") with its line end replaced by ":".
std::u16string TimeText(const tm& local) {
  static const char kDays[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char text[64];
  std::snprintf(text, sizeof text, "%.3s %.3s%3d %.2d:%.2d:%.2d %d\n", kDays[local.tm_wday % 7],
                kMonths[local.tm_mon % 12], local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                local.tm_year + 1900);
  std::u16string wide = nb::text::Utf8ToUtf16(text);
  wide.back() = u':';
  return wide;
}

// The Windows folder as "%WINDIR%" expands, when it fits the writer's buffer.
std::optional<std::u16string> WindowsFolder() {
  WCHAR folder[LOG_PATH_UNITS];
  DWORD needed = ExpandEnvironmentStringsW(u"%WINDIR%", folder, LOG_PATH_UNITS);
  if (needed == 0 || needed > LOG_PATH_UNITS) return std::nullopt;
  return std::u16string(folder);
}

// Appends `line` with one write, so lines of several writers never interleave. The log
// folder is writable by everyone: a link planted in the file's place is not followed.
void AppendLine(LPCWSTR filePath, const std::string& line) {
  std::optional<std::string> host = nb::win::HostPathOf(nb::text::Utf16ToUtf8(filePath));
  if (!host) return;
  int fd = ::open(host->c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, kLogFileMode);
  if (fd < 0) return;  // no folder, no log
  [[maybe_unused]] ssize_t written = ::write(fd, line.data(), line.size());
  ::close(fd);
}

}  // namespace

LogFile::LogFile(LPCWSTR moduleName, LPCWSTR subFolder, int period) : period_(period), filePath_{}, moduleName_{} {
  CopyField(moduleName_, moduleName);
  std::optional<std::u16string> windows = WindowsFolder();
  if (!windows) return;
  std::u16string path = nb::text::FormatWide(u"%s\\TEMP\\%s\\%s", windows->c_str(), subFolder ? subFolder : u"",
                                             TimeStampName(LocalTime(nb::common::LogNow()), period_).c_str());
  if (path.size() < LOG_PATH_UNITS) CopyField(filePath_, path.c_str());
}

LogFile::~LogFile() = default;

void LogFile::Write(LPCWSTR format, ...) {
  va_list arguments;
  va_start(arguments, format);
  WriteV(format, arguments);
  va_end(arguments);
}

void LogFile::WriteV(LPCWSTR format, va_list arguments) {
  if (!filePath_[0]) return;
  std::u16string line = TimeText(LocalTime(nb::common::LogNow()));
  line += moduleName_;
  line += u':';
  line += nb::common::FormatText(format, arguments, LOG_MESSAGE_UNITS - 1);
  line += u'\n';
  AppendLine(filePath_, nb::common::ToAnsi(line));
}

void LogMessage(LPCWSTR format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::u16string message = nb::common::FormatText(format, arguments, LOG_MESSAGE_UNITS - 1);
  va_end(arguments);
  // The message is written as it is: a percent sign in it is no directive.
  LogFile(kServiceModule, kLogFolder, LOG_PERIOD_DAY).Write(u"%s", message.c_str());
  PrintConsole(u"%s", message.c_str());
}
