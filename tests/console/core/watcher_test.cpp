// The notification watcher: each signal of the administrator event becomes one callback
// and the event is reset; Stop ends the thread whether or not a signal came.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "NBUtil.h"
#include "core_machine.h"
#include "notification_watcher.h"

namespace core_test {
namespace {

using nb::console::NotificationWatcher;
using util_test::Quietly;

class WatcherTest : public CoreTest {
 protected:
  // Waits until `count` callbacks arrived; false after two seconds.
  bool WaitFor(int count) {
    std::unique_lock lock(mutex);
    return arrived.wait_for(lock, std::chrono::seconds(2), [&] { return calls >= count; });
  }
  void Signal() {
    HANDLE event = nullptr;
    int error = 0;
    ASSERT_TRUE(CreateAdminEvent(&event, &error, true)) << error;
    ASSERT_TRUE(SetEvent(event));
    CloseHandle(event);
  }
  std::function<void()> Callback() {
    return [this] {
      std::lock_guard lock(mutex);
      ++calls;
      arrived.notify_all();
    };
  }

  std::mutex mutex;
  std::condition_variable arrived;
  int calls = 0;
};

TEST_F(WatcherTest, EachSignalCallsBackOnce) {
  NotificationWatcher watcher(Callback());
  ASSERT_TRUE(Quietly([&] { return watcher.Start(); }));
  EXPECT_TRUE(watcher.Running());
  Signal();
  ASSERT_TRUE(WaitFor(1));
  Signal();
  ASSERT_TRUE(WaitFor(2));
  // The event was reset: no further callback without a signal.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(watcher.Signals(), 2);
  watcher.Stop();
  EXPECT_FALSE(watcher.Running());
  Signal();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::lock_guard lock(mutex);
  EXPECT_EQ(calls, 2) << "no callback after Stop";
}

TEST_F(WatcherTest, StopsWithoutASignalAndOnDestruction) {
  {
    NotificationWatcher watcher(Callback());
    ASSERT_TRUE(Quietly([&] { return watcher.Start(); }));
    watcher.Stop();
    watcher.Stop();
    EXPECT_FALSE(watcher.Running());
    ASSERT_TRUE(Quietly([&] { return watcher.Start(); })) << "it can start again";
  }
  EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace core_test
