// The idle time-out timer: the tick, the walk queued to a worker thread, the idle resets.
#include "timer.h"

#include "events.h"
#include "log.h"
#include "nb/resource_guard.h"
#include "driver.h"

namespace {

constexpr ULONG kStateTag = 'iTbN';

struct IdleTimer {
  PDEVICE_OBJECT control;
  ULONG ticks;   // touched by the tick routine only
  ULONG period;
  UCHAR started;
  PIO_WORKITEM walkItem;
  KSPIN_LOCK walkLock;  // guards walkQueued and walksDue; the tick takes it at DISPATCH_LEVEL
  bool walkQueued;      // the work item is queued or its routine runs
  ULONG walksDue;       // walks the routine still owes, the running one included
  KEVENT walkIdle;      // signalled while no walk is queued or running
};

IdleTimer* timer = nullptr;

// Ages one open lock by `period`; true when it has now been idle for its whole time-out.
template <typename Lock>
bool Age(Lock* lock, ULONG period) {
  ULONG idle = lock->idle.fetch_add(period) + period;
  return idle >= lock->timeout;
}

// Worker thread, PASSIVE_LEVEL: one walk for every tick that fell due.
VOID nbfsIdleWalk(PDEVICE_OBJECT, PVOID context) {
  auto* state = static_cast<IdleTimer*>(context);
  for (;;) {
    WalkIdleLocks(Volumes(), state->period);
    KIRQL irql;
    KeAcquireSpinLock(&state->walkLock, &irql);
    bool more = --state->walksDue > 0;
    if (!more) {
      state->walkQueued = false;
      KeSetEvent(&state->walkIdle, 0, FALSE);
    }
    KeReleaseSpinLock(&state->walkLock, irql);
    if (!more) return;
  }
}

// The I/O timer routine: once per second at DISPATCH_LEVEL; never waits.
VOID nbfsTimer(PDEVICE_OBJECT, PVOID context) {
  auto* state = static_cast<IdleTimer*>(context);
  if (++state->ticks % state->period != 0) return;
  KIRQL irql;
  KeAcquireSpinLock(&state->walkLock, &irql);
  ++state->walksDue;
  if (!state->walkQueued) {
    state->walkQueued = true;
    KeClearEvent(&state->walkIdle);
    IoQueueWorkItem(state->walkItem, nbfsIdleWalk, DelayedWorkQueue, state);
  }
  KeReleaseSpinLock(&state->walkLock, irql);
}

}  // namespace

void TimerStart(PDEVICE_OBJECT control) {
  auto* state = static_cast<IdleTimer*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(IdleTimer), kStateTag));
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (state) {
    state->control = control;
    state->period = NBFS_TIMER_PERIOD;
    KeInitializeSpinLock(&state->walkLock);
    KeInitializeEvent(&state->walkIdle, NotificationEvent, TRUE);
    state->walkItem = IoAllocateWorkItem(control);
    if (state->walkItem) status = IoInitializeTimer(control, nbfsTimer, state);
  }
  if (!NT_SUCCESS(status)) {
    nbfsLog(LOG_ERROR, "Cannot initialize Timer, err=%x\n", status);
    if (state && state->walkItem) IoFreeWorkItem(state->walkItem);
    if (state) ExFreePoolWithTag(state, kStateTag);
    return;
  }
  timer = state;
  timer->started = 1;
  IoStartTimer(control);
}

void TimerStop() {
  if (!timer) return;
  IoStopTimer(timer->control);
  KeWaitForSingleObject(&timer->walkIdle, Executive, KernelMode, FALSE, nullptr);
  // The walk routine sets walkIdle while it holds the spin lock: once the lock is ours
  // again it has let go of the state for good.
  KIRQL irql;
  KeAcquireSpinLock(&timer->walkLock, &irql);
  KeReleaseSpinLock(&timer->walkLock, irql);
  IoFreeWorkItem(timer->walkItem);
  ExFreePoolWithTag(timer, kStateTag);
  timer = nullptr;
}

bool TimerStarted() { return timer && timer->started; }

void ResetEntryIdle(LockEntry* entry) {
  if (entry->flags == NBFS_LOCK_OPEN) entry->idle = 0;
}

void ResetDriveIdle(VolumeRecord* volume) {
  AssertHeld(volume->lock);
  if (volume->savedType != 0 && volume->flags == NBFS_LOCK_OPEN) volume->idle = 0;
}

void WalkIdleLocks(VolumeTable& table, ULONG period) {
  nb::SharedLock listGuard(table.lock);
  for (LIST_ENTRY* link = table.volumes.Flink; link != &table.volumes; link = link->Flink) {
    auto* volume = CONTAINING_RECORD(link, VolumeRecord, link);
    nb::SharedLock volumeGuard(volume->lock);
    if (!volume->active) continue;
    if (volume->savedType != 0) {
      // A drive-wide timed lock counts as a whole; its entries are not aged.
      if (volume->flags == NBFS_LOCK_OPEN && Age(volume, period)) {
        volume->flags = NBFS_LOCK_EXPIRED;
        PulseTimerNotify();
      }
      continue;
    }
    if (volume->flags != NBFS_LOCK_OPEN) continue;
    for (LIST_ENTRY* e = volume->entries.Flink; e != &volume->entries; e = e->Flink) {
      auto* entry = CONTAINING_RECORD(e, LockEntry, link);
      if (entry->flags == NBFS_LOCK_OPEN && Age(entry, period)) {
        entry->flags = NBFS_LOCK_EXPIRED;
        PulseTimerNotify();
      }
    }
  }
}
