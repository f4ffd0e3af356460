// The system clock behind the I/O timers, and the system worker threads that run work
// items. Ticks come from a real once-per-second thread (StartRealTime) or, in tests,
// from Tick(), which fires them deterministically.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include <ntifs.h>

namespace nb::kernel {

class Kernel;

// One worker thread, started on first use, running queued routines in order at
// PASSIVE_LEVEL in the System process.
class SystemWorkers {
 public:
  explicit SystemWorkers(Kernel& kernel) : kernel_(kernel) {}
  ~SystemWorkers();  // finishes the running routine, drops the rest, joins
  SystemWorkers(const SystemWorkers&) = delete;
  SystemWorkers& operator=(const SystemWorkers&) = delete;

  void Queue(std::function<void()> routine);
  // Waits until every routine queued so far, and any they queued, has run.
  void Drain();

 private:
  void Run();

  Kernel& kernel_;  // the kernel the worker thread acts on
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> queue_;
  bool running_ = false;  // a routine is executing
  bool stopping_ = false;
  std::thread thread_;
};

class SystemClock {
 public:
  SystemClock(Kernel& kernel, SystemWorkers& workers) : kernel_(kernel), workers_(workers) {}
  ~SystemClock();  // stops real time and frees the timers left
  SystemClock(const SystemClock&) = delete;
  SystemClock& operator=(const SystemClock&) = delete;

  // IoInitializeTimer, IoStartTimer, IoStopTimer.
  [[nodiscard]] NTSTATUS InitializeTimer(PDEVICE_OBJECT device, PIO_TIMER_ROUTINE routine, PVOID context);
  void StartTimer(PDEVICE_OBJECT device);
  void StopTimer(PDEVICE_OBJECT device);
  // The device is being deleted: its timer goes with it.
  void ForgetDevice(PDEVICE_OBJECT device);

  // One second passes: every started timer's routine runs once, at DISPATCH_LEVEL in the
  // System process, in the calling thread.
  void FireTimers();
  // The test hook: `seconds` ticks, each followed by waiting for the system worker
  // threads to finish what the timer routines queued.
  void Tick(unsigned seconds = 1);

  // Real time: a thread fires the timers once per `period` until StopRealTime.
  void StartRealTime(std::chrono::milliseconds period = std::chrono::seconds(1));
  void StopRealTime();

 private:
  struct Timer;
  // Waits for a FireTimers in progress on another thread to end.
  void WaitForFiring();

  Kernel& kernel_;  // the kernel the real-time thread acts on
  SystemWorkers& workers_;
  std::mutex mutex_;        // guards timers_
  std::mutex firingMutex_;  // held while timer routines run
  std::map<PDEVICE_OBJECT, Timer*> timers_;

  std::mutex realTimeMutex_;
  std::condition_variable realTimeChanged_;
  bool realTimeStopping_ = false;
  std::thread realTime_;
};

}  // namespace nb::kernel
