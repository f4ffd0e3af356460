// The console's background refresh: a thread that has the driver create the
// administrator notification event, then waits on it and, on each signal, resets it, logs
// "SendMessage" and calls back (the window program turns the call into a queued reload).
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include <windows.h>

namespace nb::console {

class NotificationWatcher {
 public:
  explicit NotificationWatcher(std::function<void()> onSignal);
  // Stops the thread.
  ~NotificationWatcher();
  NotificationWatcher(const NotificationWatcher&) = delete;
  NotificationWatcher& operator=(const NotificationWatcher&) = delete;

  // Creates the event and starts waiting; false (no thread, `Error` set) when the event
  // cannot be had: the console then works without background refresh.
  bool Start();
  // Ends the thread; returns once it ended (after a callback under way has returned, so a
  // callback must not wait for the thread that stops the watcher: post, don't block). No
  // callback runs after Stop returns.
  void Stop();
  bool Running() const { return thread_.joinable(); }
  // The driver's code or system error of a failed Start.
  int Error() const { return error_; }
  // Signals counted so far.
  int Signals() const { return signals_.load(); }

 private:
  void Run();

  std::function<void()> onSignal_;
  HANDLE event_ = nullptr;
  HANDLE stop_ = nullptr;
  int error_ = 0;
  std::atomic<int> signals_{0};
  std::thread thread_;
};

}  // namespace nb::console
