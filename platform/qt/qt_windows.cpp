// Finding the top-level windows of other processes by title and bringing them forward:
// FindWindowW, SendMessageW (SC_RESTORE), SetForegroundWindow, SetFocus, and the beacons
// that owners keep. A window is reached through a named event of the machine, so a dead
// owner's window is gone with its handles.
#include "nb/win/qt_windows.h"

#include <QApplication>
#include <QMetaObject>
#include <QThread>

#include <map>
#include <memory>
#include <mutex>

#include <winuser.h>

#include "nb/win/qt_message_box.h"

struct HWND__ {
  std::u16string title;  // the window's title; its owner's event is opened by it at each use
};

namespace nb::win {

namespace {

constexpr std::u16string_view kPrefix = u"Local\\TopLevelWindow:";
constexpr size_t kMaxNameUnits = 260;

// Windows found by this process, one handle per title, kept for the process's life. No
// handle of the owner's event is kept: it would keep the window findable after its owner
// ended.
std::mutex foundLock;
std::map<std::u16string, std::unique_ptr<HWND__>> found;

bool IsFound(HWND window) {
  std::lock_guard lock(foundLock);
  for (auto& entry : found) {
    if (entry.second.get() == window) return true;
  }
  return false;
}

}  // namespace

std::u16string WindowEventName(std::u16string_view title) {
  std::u16string name(kPrefix);
  for (char16_t c : title) name.push_back(c == u'\\' ? u'/' : c);  // no object directories
  if (name.size() > kMaxNameUnits) name.resize(kMaxNameUnits);
  return name;
}

void RestoreWindow(QWidget* window) {
  if (!window) return;
  if (window->isMinimized()) window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
  window->show();
  window->raise();
  window->activateWindow();
}

WindowBeacon::WindowBeacon(QWidget* window, std::u16string title) : window_(window), title_(std::move(title)) {
  std::u16string name = WindowEventName(title_);
  event_ = CreateEventW(nullptr, FALSE, FALSE, name.c_str());
  if (!event_) return;
  stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!stop_) {
    CloseHandle(event_);
    event_ = nullptr;
    return;
  }
  watcher_ = std::thread([this] { Watch(); });
}

WindowBeacon::~WindowBeacon() {
  if (watcher_.joinable()) {
    SetEvent(stop_);
    watcher_.join();
  }
  if (stop_) CloseHandle(stop_);
  if (event_) CloseHandle(event_);
}

void WindowBeacon::Watch() {
  const HANDLE handles[2] = {stop_, event_};
  for (;;) {
    DWORD result = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    if (result != WAIT_OBJECT_0 + 1) return;  // stopped, or the machine is gone
    // The window is looked at on the application's thread only, where it may end.
    QCoreApplication* application = QCoreApplication::instance();
    if (!application) continue;
    QMetaObject::invokeMethod(application, [window = window_] { RestoreWindow(window); }, Qt::QueuedConnection);
  }
}

}  // namespace nb::win

HWND FindWindowW(LPCWSTR /*className*/, LPCWSTR windowName) {
  if (!windowName) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  std::u16string title(windowName);
  HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, nb::win::WindowEventName(title).c_str());
  if (!event) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  CloseHandle(event);
  std::lock_guard lock(nb::win::foundLock);
  auto& window = nb::win::found[title];
  if (!window) window = std::make_unique<HWND__>(HWND__{title});
  return window.get();
}

LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM /*lParam*/) {
  if (message != WM_SYSCOMMAND || (wParam & 0xFFF0) != SC_RESTORE) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return 0;
  }
  if (nb::win::IsFound(window)) {
    // The owner may have ended since the find: then there is nothing to restore.
    HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, nb::win::WindowEventName(window->title).c_str());
    if (!event) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    SetEvent(event);
    CloseHandle(event);
    return 0;
  }
  QWidget* widget = nb::win::WidgetOfWindowHandle(window);
  if (!widget) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  QPointer<QWidget> target = widget->window();
  QMetaObject::invokeMethod(target, [target] { nb::win::RestoreWindow(target); },
                            QThread::currentThread() == target->thread() ? Qt::DirectConnection
                                                                         : Qt::BlockingQueuedConnection);
  return 0;
}

BOOL SetForegroundWindow(HWND window) {
  if (nb::win::IsFound(window) || nb::win::WidgetOfWindowHandle(window)) return TRUE;
  SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return FALSE;
}

HWND SetFocus(HWND window) {
  if (nb::win::IsFound(window) || nb::win::WidgetOfWindowHandle(window)) return window;
  SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return nullptr;
}
