// The log writer: one line per message appended to the day's file in the Windows
// folder's TEMP\<sub-folder>, only while that folder exists, and the console echo.
#pragma once

#include <ctime>

#include <windows.h>

// How often a new log file begins.
inline constexpr int LOG_PERIOD_DAY = 0;
inline constexpr int LOG_PERIOD_HOUR = 1;
inline constexpr int LOG_PERIOD_MINUTE = 2;
inline constexpr int LOG_PERIOD_SECOND = 3;  // and any other value

inline constexpr size_t LOG_PATH_UNITS = 512;
inline constexpr size_t LOG_MODULE_UNITS = 50;
inline constexpr size_t LOG_MESSAGE_UNITS = 1024;  // a formatted message: 1023 and the NUL

// One log file, chosen when the object is made; nothing stays open between lines.
class LogFile {
 public:
  // Computes the file path "<Windows folder>\TEMP\<subFolder>\<time stamp>" for the
  // current time and `period`; touches no file. A path that does not fit leaves the
  // object without one, and every line is dropped.
  LogFile(LPCWSTR moduleName, LPCWSTR subFolder, int period);
  virtual ~LogFile();

  // Appends "<time text>:<module>:<message>" and a line end; the line is dropped
  // silently when the file cannot be opened (in particular when its folder is missing).
  void Write(LPCWSTR format, ...);
  void WriteV(LPCWSTR format, va_list arguments);

  LPCWSTR Path() const { return filePath_; }

 private:
  int period_;
  WCHAR filePath_[LOG_PATH_UNITS];
  WCHAR moduleName_[LOG_MODULE_UNITS];
};

// The service's messages: the line goes to the log of module "NBSvc" in the sub-folder
// "NB" (daily) and, the same text, to standard output.
void LogMessage(LPCWSTR format, ...);

// Prints the formatted text and a line end on standard output.
void PrintConsole(LPCWSTR format, ...);

// The clock of the log writer (file names and line times, read as local time); tests set
// their own. Null restores the system clock.
using LogClock = time_t (*)();
void SetLogClock(LogClock clock);
