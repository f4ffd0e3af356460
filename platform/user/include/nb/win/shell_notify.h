// The shell notifications a process sent (SHChangeNotify), for tests and diagnostics.
#pragma once

#include <string>
#include <vector>

#include <windows.h>

namespace nb::win {

struct ShellNotification {
  LONG eventId = 0;
  UINT flags = 0;
  std::u16string path;  // the first item when it is a path (SHCNF_PATHW), else empty
};

// The notifications sent since the last clearing, oldest first.
std::vector<ShellNotification> ShellNotifications();
void ClearShellNotifications();

}  // namespace nb::win
