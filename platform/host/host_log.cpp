// Writing nbhost's log lines.
#include "nb/host/host_log.h"

#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace nb::host {

void HostLog(const char* format, ...) {
  char line[1024];
  std::time_t now = std::time(nullptr);
  std::tm local;
  localtime_r(&now, &local);
  size_t at = std::strftime(line, sizeof line, "%Y-%m-%d %H:%M:%S", &local);
  at += std::snprintf(line + at, sizeof line - at, " nbhost[%d]: ", static_cast<int>(getpid()));
  va_list arguments;
  va_start(arguments, format);
  int written = std::vsnprintf(line + at, sizeof line - at, format, arguments);
  va_end(arguments);
  if (written < 0) return;
  at = std::min(sizeof line - 2, at + static_cast<size_t>(written));
  line[at++] = '\n';
  // One write per line, so lines of several threads never interleave.
  (void)!write(STDERR_FILENO, line, at);
}

}  // namespace nb::host
