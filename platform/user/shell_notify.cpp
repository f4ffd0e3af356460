// SHChangeNotify: recorded, as there is no shell to redraw.
#include <shlobj.h>

#include <mutex>

#include "nb/win/shell_notify.h"

namespace nb::win {

namespace {

std::mutex notificationsLock;
std::vector<ShellNotification> notifications;
constexpr size_t kKept = 1024;  // the oldest go first when a process sends many

}  // namespace

std::vector<ShellNotification> ShellNotifications() {
  std::lock_guard lock(notificationsLock);
  return notifications;
}

void ClearShellNotifications() {
  std::lock_guard lock(notificationsLock);
  notifications.clear();
}

}  // namespace nb::win

void SHChangeNotify(LONG eventId, UINT flags, LPCVOID item1, LPCVOID) {
  nb::win::ShellNotification notification{eventId, flags, {}};
  if ((flags & 0xFF) == SHCNF_PATHW && item1) notification.path = static_cast<LPCWSTR>(item1);
  std::lock_guard lock(nb::win::notificationsLock);
  if (nb::win::notifications.size() >= nb::win::kKept) nb::win::notifications.erase(nb::win::notifications.begin());
  nb::win::notifications.push_back(std::move(notification));
}
