// Windows of this process that other processes find by title (FindWindowW) and bring
// forward (SendMessageW with SC_RESTORE): the owner side. A beacon keeps a named event of
// the machine for the title; setting it from anywhere restores and raises the window.
#pragma once

#include <QPointer>
#include <QWidget>

#include <string>
#include <thread>

#include <windows.h>

namespace nb::win {

// The machine-wide event name that stands for a top-level window's title.
std::u16string WindowEventName(std::u16string_view title);

// Restores `window` from minimised, shows, raises and activates it (on the caller's
// thread, which must be the application's).
void RestoreWindow(QWidget* window);

class WindowBeacon {
 public:
  // Makes `window` findable by `title` until the beacon ends. Active() tells whether the
  // machine's event could be made (no transport, a name in use by a mutex ...).
  WindowBeacon(QWidget* window, std::u16string title);
  ~WindowBeacon();
  WindowBeacon(const WindowBeacon&) = delete;
  WindowBeacon& operator=(const WindowBeacon&) = delete;

  bool Active() const { return event_ != nullptr; }
  const std::u16string& Title() const { return title_; }

 private:
  void Watch();

  QPointer<QWidget> window_;
  std::u16string title_;
  HANDLE event_ = nullptr;  // set by a finder: bring the window forward
  HANDLE stop_ = nullptr;   // set by the destructor
  std::thread watcher_;
};

}  // namespace nb::win
