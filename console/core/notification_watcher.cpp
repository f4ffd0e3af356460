// The background refresh thread.
#include "notification_watcher.h"

#include "NBUtil.h"
#include "VAULTSdk.h"

namespace nb::console {

NotificationWatcher::NotificationWatcher(std::function<void()> onSignal) : onSignal_(std::move(onSignal)) {}

NotificationWatcher::~NotificationWatcher() { Stop(); }

bool NotificationWatcher::Start() {
  if (thread_.joinable()) return true;
  error_ = 0;
  HANDLE event = nullptr;
  int error = 0;
  if (!CreateAdminEvent(&event, &error, false)) {
    error_ = error;
    return false;
  }
  // The stop request: a private event the thread waits on beside the notification, so a
  // stop never interrupts a callback half way and no callback starts after it.
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!stop) {
    error_ = static_cast<int>(GetLastError());
    CloseHandle(event);
    return false;
  }
  event_ = event;
  stop_ = stop;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void NotificationWatcher::Stop() {
  if (!thread_.joinable()) return;
  SetEvent(stop_);
  thread_.join();
  CloseHandle(stop_);
  CloseHandle(event_);
  stop_ = event_ = nullptr;
}

void NotificationWatcher::Run() {
  const HANDLE handles[2] = {stop_, event_};
  for (;;) {
    // The stop event comes first: with both signalled, the thread ends.
    DWORD woken = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    if (woken != WAIT_OBJECT_0 + 1) return;
    ResetEvent(event_);
    CVAULTObj::Print(u"NBADMIN", u"SendMessage");
    ++signals_;
    if (onSignal_) onSignal_();
  }
}

}  // namespace nb::console
