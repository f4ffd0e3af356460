// The console echo: a formatted line on standard output in the ANSI code page.
#include <cstdio>
#include <string>

#include "LogFile.h"
#include "text_limits.h"

void PrintConsole(LPCWSTR format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::string line = nb::common::ToAnsi(nb::common::FormatText(format, arguments, LOG_MESSAGE_UNITS - 1));
  va_end(arguments);
  line += '\n';
  // One write per line, so lines of several threads stay whole.
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}
