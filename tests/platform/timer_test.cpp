// The I/O timers and the system worker threads: deterministic ticks, the context timer
// routines and work items run in, stopping and deleting.
#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "nb/kernel/clock.h"
#include "nb/kernel/pool.h"
#include "nb/testing/machine.h"

namespace {

struct TimerProbe {
  std::atomic<int> ticks{0};
  std::atomic<int> work{0};
  KIRQL tickIrql = 0xFF;
  ULONG tickProcess = 0;
  KIRQL workIrql = 0xFF;
  ULONG workProcess = 0;
  PIO_WORKITEM item = nullptr;
};

ULONG CurrentId() { return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId())); }

VOID Work(PDEVICE_OBJECT, PVOID context) {
  auto* probe = static_cast<TimerProbe*>(context);
  probe->workIrql = KeGetCurrentIrql();
  probe->workProcess = CurrentId();
  ++probe->work;
}

VOID Tick(PDEVICE_OBJECT, PVOID context) {
  auto* probe = static_cast<TimerProbe*>(context);
  probe->tickIrql = KeGetCurrentIrql();
  probe->tickProcess = CurrentId();
  ++probe->ticks;
  if (probe->item) IoQueueWorkItem(probe->item, Work, DelayedWorkQueue, probe);
}

TEST(TimerTest, StartedTimersRunOncePerTickAtDispatchLevelInTheSystemProcess) {
  nb::testing::Machine machine;
  PDEVICE_OBJECT device = machine.AddBareVolume('C');
  TimerProbe probe;
  auto& clock = machine.Kernel().Clock();
  ASSERT_EQ(IoInitializeTimer(device, Tick, &probe), STATUS_SUCCESS);
  clock.Tick(3);
  EXPECT_EQ(probe.ticks, 0) << "not started yet";

  IoStartTimer(device);
  nb::kernel::ProcessScope caller(machine.Process("app.exe", 1500));
  clock.Tick(3);
  EXPECT_EQ(probe.ticks, 3);
  EXPECT_EQ(probe.tickIrql, DISPATCH_LEVEL);
  EXPECT_EQ(probe.tickProcess, 4u);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(CurrentId(), 1500u);

  IoStopTimer(device);
  clock.Tick(2);
  EXPECT_EQ(probe.ticks, 3);
  IoStartTimer(device);
  clock.Tick();
  EXPECT_EQ(probe.ticks, 4);
}

TEST(TimerTest, TickWaitsForTheWorkItemsItsTimersQueued) {
  nb::testing::Machine machine;
  PDEVICE_OBJECT device = machine.AddBareVolume('C');
  TimerProbe probe;
  probe.item = IoAllocateWorkItem(device);
  ASSERT_NE(probe.item, nullptr);
  ASSERT_EQ(IoInitializeTimer(device, Tick, &probe), STATUS_SUCCESS);
  IoStartTimer(device);
  for (int second = 1; second <= 5; ++second) {
    machine.Kernel().Clock().Tick();
    EXPECT_EQ(probe.work, second);
  }
  EXPECT_EQ(probe.workIrql, PASSIVE_LEVEL);
  EXPECT_EQ(probe.workProcess, 4u);
  IoStopTimer(device);
  IoFreeWorkItem(probe.item);
}

TEST(TimerTest, ADeletedDeviceTakesItsTimerAlong) {
  nb::testing::Machine machine;
  PDEVICE_OBJECT device = machine.AddBareVolume('C');
  TimerProbe probe;
  size_t before = machine.Kernel().Pool().Outstanding();
  ASSERT_EQ(IoInitializeTimer(device, Tick, &probe), STATUS_SUCCESS);
  IoStartTimer(device);
  IoDeleteDevice(device);
  machine.Kernel().Clock().Tick(2);
  EXPECT_EQ(probe.ticks, 0);
  EXPECT_EQ(machine.Kernel().Pool().Outstanding(), before);
}

TEST(TimerTest, InitializationFailsWhenThePoolIsShort) {
  nb::testing::Machine machine;
  PDEVICE_OBJECT device = machine.AddBareVolume('C');
  TimerProbe probe;
  machine.Kernel().Pool().FailAfter(0);
  EXPECT_EQ(IoInitializeTimer(device, Tick, &probe), STATUS_INSUFFICIENT_RESOURCES);
  machine.Kernel().Clock().Tick();
  EXPECT_EQ(probe.ticks, 0);
}

TEST(TimerTest, RealTimeFiresUntilStopped) {
  nb::testing::Machine machine;
  PDEVICE_OBJECT device = machine.AddBareVolume('C');
  TimerProbe probe;
  auto& clock = machine.Kernel().Clock();
  ASSERT_EQ(IoInitializeTimer(device, Tick, &probe), STATUS_SUCCESS);
  IoStartTimer(device);
  clock.StartRealTime(std::chrono::milliseconds(5));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (probe.ticks < 3 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  clock.StopRealTime();
  EXPECT_GE(probe.ticks, 3);
  int stopped = probe.ticks;
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(probe.ticks, stopped);
}

#ifndef NDEBUG
VOID TakeResource(PDEVICE_OBJECT, PVOID context) {
  KeEnterCriticalRegion();
  ExAcquireResourceSharedLite(static_cast<PERESOURCE>(context), TRUE);
}

TEST(TimerDeathTest, TimerRoutinesCannotWaitOnResources) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        nb::testing::Machine machine;
        PDEVICE_OBJECT device = machine.AddBareVolume('C');
        ERESOURCE resource;
        (void)ExInitializeResourceLite(&resource);
        (void)IoInitializeTimer(device, TakeResource, &resource);
        IoStartTimer(device);
        machine.Kernel().Clock().Tick();
      },
      "DISPATCH_LEVEL");
}
#endif

}  // namespace
