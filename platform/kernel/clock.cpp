// The system clock: I/O timers fired once per second, by a real-time thread or a test.
#include "nb/kernel/clock.h"

#include <cassert>
#include <new>
#include <vector>

#include "nb/kernel/kernel.h"
#include "nb/kernel/process.h"

namespace nb::kernel {

struct SystemClock::Timer {
  PIO_TIMER_ROUTINE routine;
  PVOID context;
  bool started;
};

namespace {
constexpr ULONG kTimerTag = 'mTbN';
// Set while this thread runs timer routines, so that a routine may stop its own timer.
thread_local bool inTimerRoutine = false;
}  // namespace

SystemClock::~SystemClock() {
  StopRealTime();
  std::lock_guard lock(mutex_);
  for (auto& [device, timer] : timers_) ExFreePoolWithTag(timer, kTimerTag);
  timers_.clear();
}

NTSTATUS SystemClock::InitializeTimer(PDEVICE_OBJECT device, PIO_TIMER_ROUTINE routine, PVOID context) {
  std::lock_guard lock(mutex_);
  Timer*& timer = timers_[device];
  if (!timer) {
    // Pool memory, as on Windows, so that tests can make the initialisation fail.
    timer = static_cast<Timer*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Timer), kTimerTag));
    if (!timer) {
      timers_.erase(device);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  *timer = Timer{routine, context, false};
  return STATUS_SUCCESS;
}

void SystemClock::StartTimer(PDEVICE_OBJECT device) {
  std::lock_guard lock(mutex_);
  auto it = timers_.find(device);
  assert(it != timers_.end() && "IoStartTimer without IoInitializeTimer");
  if (it != timers_.end()) it->second->started = true;
}

void SystemClock::StopTimer(PDEVICE_OBJECT device) {
  {
    std::lock_guard lock(mutex_);
    auto it = timers_.find(device);
    if (it != timers_.end()) it->second->started = false;
  }
  WaitForFiring();
}

void SystemClock::ForgetDevice(PDEVICE_OBJECT device) {
  Timer* timer = nullptr;
  {
    std::lock_guard lock(mutex_);
    auto it = timers_.find(device);
    if (it == timers_.end()) return;
    timer = it->second;
    timers_.erase(it);
  }
  WaitForFiring();
  ExFreePoolWithTag(timer, kTimerTag);
}

void SystemClock::WaitForFiring() {
  if (inTimerRoutine) return;
  std::lock_guard firing(firingMutex_);
}

void SystemClock::FireTimers() {
  KernelScope bound(kernel_);
  std::lock_guard firing(firingMutex_);
  std::vector<std::pair<PDEVICE_OBJECT, Timer>> due;
  {
    std::lock_guard lock(mutex_);
    for (auto& [device, timer] : timers_) {
      if (timer->started) due.emplace_back(device, *timer);
    }
  }
  ProcessScope system(kernel_.Processes().System());
  KIRQL previous;
  KeRaiseIrql(DISPATCH_LEVEL, &previous);
  inTimerRoutine = true;
  for (auto& [device, timer] : due) timer.routine(device, timer.context);
  inTimerRoutine = false;
  KeLowerIrql(previous);
}

void SystemClock::Tick(unsigned seconds) {
  for (unsigned i = 0; i < seconds; ++i) {
    FireTimers();
    workers_.Drain();
  }
}

void SystemClock::StartRealTime(std::chrono::milliseconds period) {
  std::lock_guard lock(realTimeMutex_);
  if (realTime_.joinable()) return;
  realTimeStopping_ = false;
  realTime_ = std::thread([this, period] {
    KernelScope bound(kernel_);
    std::unique_lock lock(realTimeMutex_);
    auto next = std::chrono::steady_clock::now() + period;
    while (!realTimeChanged_.wait_until(lock, next, [&] { return realTimeStopping_; })) {
      lock.unlock();
      FireTimers();
      lock.lock();
      next += period;
    }
  });
}

void SystemClock::StopRealTime() {
  std::thread stopping;
  {
    std::lock_guard lock(realTimeMutex_);
    realTimeStopping_ = true;
    stopping = std::move(realTime_);
  }
  realTimeChanged_.notify_all();
  if (stopping.joinable()) stopping.join();
}

}  // namespace nb::kernel

NTSTATUS IoInitializeTimer(PDEVICE_OBJECT deviceObject, PIO_TIMER_ROUTINE timerRoutine, PVOID context) {
  return nb::kernel::CurrentKernel().Clock().InitializeTimer(deviceObject, timerRoutine, context);
}

VOID IoStartTimer(PDEVICE_OBJECT deviceObject) { nb::kernel::CurrentKernel().Clock().StartTimer(deviceObject); }

VOID IoStopTimer(PDEVICE_OBJECT deviceObject) { nb::kernel::CurrentKernel().Clock().StopTimer(deviceObject); }
