// Alertable waits: a thread's alert ends its alertable wait under way, or else its next
// one, and never a wait that is not alertable or one an object already satisfies.
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "nb/kernel/events.h"
#include "nb/testing/machine.h"

namespace {

using nb::kernel::AlertScope;
using nb::kernel::ThreadAlert;

LARGE_INTEGER Milliseconds(LONGLONG ms) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -ms * 10'000;
  return timeout;
}

class ThreadAlerts : public ::testing::Test {
 protected:
  void SetUp() override { KeInitializeEvent(&event, NotificationEvent, FALSE); }

  NTSTATUS Wait(BOOLEAN alertable, KPROCESSOR_MODE mode, LONGLONG ms) {
    LARGE_INTEGER timeout = Milliseconds(ms);
    PVOID objects[] = {&event};
    return KeWaitForMultipleObjects(1, objects, WaitAny, UserRequest, mode, alertable, ms < 0 ? nullptr : &timeout,
                                    nullptr);
  }

  nb::testing::Machine machine;
  KEVENT event;
};

TEST_F(ThreadAlerts, AnAlertEndsTheAlertableWaitUnderWay) {
  ThreadAlert alert;
  NTSTATUS waited = STATUS_SUCCESS;
  std::thread waiter([&] {
    AlertScope scope(alert);
    waited = Wait(TRUE, UserMode, -1);
  });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (nb::kernel::WaitingThreads(&event) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  alert.Alert();
  waiter.join();
  EXPECT_EQ(waited, STATUS_ALERTED);
  EXPECT_EQ(nb::kernel::WaitingThreads(&event), 0u) << "the wait block is unlinked";
}

TEST_F(ThreadAlerts, AnEarlierAlertEndsTheNextAlertableWaitOnce) {
  ThreadAlert alert;
  AlertScope scope(alert);
  alert.Alert();
  EXPECT_EQ(Wait(FALSE, UserMode, 10), STATUS_TIMEOUT) << "not alertable";
  EXPECT_EQ(Wait(TRUE, KernelMode, 10), STATUS_TIMEOUT) << "a kernel-mode wait";
  EXPECT_EQ(Wait(TRUE, UserMode, 1000), STATUS_ALERTED);
  EXPECT_EQ(Wait(TRUE, UserMode, 10), STATUS_TIMEOUT) << "the alert was used up";
}

TEST_F(ThreadAlerts, ASignalledObjectWinsOverAnAlert) {
  ThreadAlert alert;
  AlertScope scope(alert);
  alert.Alert();
  KeSetEvent(&event, 0, FALSE);
  EXPECT_EQ(Wait(TRUE, UserMode, 10), STATUS_WAIT_0);
  EXPECT_EQ(Wait(TRUE, UserMode, 10), STATUS_WAIT_0) << "a notification event stays set";
  KeClearEvent(&event);
  EXPECT_EQ(Wait(TRUE, UserMode, 10), STATUS_ALERTED);
}

TEST_F(ThreadAlerts, AThreadWithoutAnAlertIsNeverAlerted) {
  ThreadAlert alert;
  alert.Alert();
  EXPECT_EQ(Wait(TRUE, UserMode, 10), STATUS_TIMEOUT);
}

}  // namespace
