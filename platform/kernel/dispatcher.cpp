// The dispatcher: IRQL per thread, spin locks, event and mutant objects and waits on them.
// One dispatcher lock per kernel guards every dispatcher header and wait block, as on
// Windows.
#include <array>
#include <atomic>
#include <cassert>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <ntifs.h>

#include "nb/kernel/events.h"
#include "nb/kernel/kernel.h"
#include "nb/kernel/process.h"

namespace nb::kernel {
struct Waiter;
}

// One object a thread waits on, linked into the object's WaitListHead.
struct _KWAIT_BLOCK {
  LIST_ENTRY link;
  nb::kernel::Waiter* waiter;
  PRKEVENT object;
};

namespace nb::kernel {

struct Waiter {
  std::condition_variable wake;
  bool satisfied = false;
  NTSTATUS status = STATUS_TIMEOUT;
  WAIT_TYPE type = WaitAny;
  ULONG count = 0;
  PRKEVENT* objects = nullptr;
  _KWAIT_BLOCK* blocks = nullptr;
  // Who takes the mutants a satisfied wait acquires.
  ULONG ownerProcess = 0;
  uint64_t ownerThread = 0;
};

namespace {

thread_local KIRQL currentIrql = PASSIVE_LEVEL;
thread_local ThreadAlert* currentAlert = nullptr;

std::mutex& DispatcherLock() { return CurrentKernel().DispatcherLock(); }

std::atomic<uint64_t> nextThreadToken{1};
thread_local uint64_t threadToken = 0;

// Waits treat every waitable object through its header; a mutant's tells it apart.
bool IsMutant(PRKEVENT object) { return object->Header.Type == MutantObject; }
PRKMUTANT AsMutant(PRKEVENT object) { return reinterpret_cast<PRKMUTANT>(object); }
PRKEVENT AsObject(PRKMUTANT mutant) { return reinterpret_cast<PRKEVENT>(mutant); }

// The owner is a thread of a process: an in-process machine serves several simulated
// processes on one thread, and each is an owner of its own.
bool Owns(const KMUTANT& mutant, ULONG process, uint64_t thread) {
  return mutant.OwnerThread != 0 && mutant.OwnerThread == thread && mutant.OwnerProcess == process;
}

// A mutant is also signalled for the thread that owns it: it acquires it again.
bool Signaled(PRKEVENT object, const Waiter& waiter) {
  if (object->Header.SignalState > 0) return true;
  return IsMutant(object) && Owns(*AsMutant(object), waiter.ownerProcess, waiter.ownerThread);
}

// A satisfied wait consumes the signal of a synchronization event and takes a mutant
// (once more); true when the mutant taken had been abandoned.
bool Acquire(PRKEVENT object, const Waiter& waiter) {
  if (!IsMutant(object)) {
    if (object->Header.Type == SynchronizationEvent) object->Header.SignalState = 0;
    return false;
  }
  PRKMUTANT mutant = AsMutant(object);
  if (mutant->Header.SignalState-- == 1) {
    mutant->OwnerThread = waiter.ownerThread;
    mutant->OwnerProcess = waiter.ownerProcess;
    InsertTailList(&CurrentKernel().OwnedMutants(), &mutant->MutantListEntry);
  }
  return std::exchange(mutant->Abandoned, FALSE) != FALSE;
}

bool TrySatisfy(Waiter& waiter) {
  if (waiter.type == WaitAny) {
    for (ULONG i = 0; i < waiter.count; ++i) {
      if (Signaled(waiter.objects[i], waiter)) {
        NTSTATUS base = Acquire(waiter.objects[i], waiter) ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0;
        waiter.status = base + static_cast<NTSTATUS>(i);
        return true;
      }
    }
    return false;
  }
  for (ULONG i = 0; i < waiter.count; ++i) {
    if (!Signaled(waiter.objects[i], waiter)) return false;
  }
  bool abandoned = false;
  for (ULONG i = 0; i < waiter.count; ++i) abandoned = Acquire(waiter.objects[i], waiter) || abandoned;
  waiter.status = abandoned ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0;
  return true;
}

void Unlink(Waiter& waiter) {
  for (ULONG i = 0; i < waiter.count; ++i) RemoveEntryList(&waiter.blocks[i].link);
}

// Releases the waiters a newly signalled object can satisfy, oldest first, until none
// is left or a synchronization event's signal or a mutant has been taken.
void WakeWaiters(PRKEVENT event) {
  while (event->Header.SignalState > 0) {
    Waiter* released = nullptr;
    LIST_ENTRY* head = &event->Header.WaitListHead;
    for (LIST_ENTRY* link = head->Flink; link != head && !released; link = link->Flink) {
      Waiter* waiter = CONTAINING_RECORD(link, _KWAIT_BLOCK, link)->waiter;
      if (TrySatisfy(*waiter)) released = waiter;
    }
    if (!released) return;
    Unlink(*released);
    released->satisfied = true;
    released->wake.notify_one();
  }
}

// Remaining time of an NT time-out: negative values are relative, positive ones an
// absolute system time, both in 100 ns units.
std::chrono::nanoseconds Remaining(const LARGE_INTEGER& timeout) {
  LONGLONG ticks = timeout.QuadPart;
  if (ticks > 0) {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    ticks = now.QuadPart - ticks;  // negative while the moment lies ahead
  }
  if (ticks >= 0) return std::chrono::nanoseconds(0);
  constexpr LONGLONG kLongest = 10'000'000LL * 3600 * 24 * 365 * 30;  // beyond this, for ever
  return std::chrono::nanoseconds((-ticks > kLongest ? kLongest : -ticks) * 100);
}

// Ends a wait that has not been satisfied yet with `status`; the dispatcher lock is held.
void EndWait(Waiter& waiter, NTSTATUS status) {
  Unlink(waiter);
  waiter.status = status;
  waiter.satisfied = true;
  waiter.wake.notify_one();
}

// Frees a mutant whatever its count; the dispatcher lock is held and the mutant owned.
void Disown(PRKMUTANT mutant) {
  RemoveEntryList(&mutant->MutantListEntry);
  mutant->Header.SignalState = 1;
  mutant->OwnerThread = 0;
  mutant->OwnerProcess = 0;
}

// Abandons every mutant `owned` picks: each becomes free and marked abandoned, and the
// waiter that takes it next hears so.
template <typename Picks>
void AbandonMutants(Picks owned) {
  std::lock_guard lock(DispatcherLock());
  std::vector<PRKMUTANT> abandoning;
  LIST_ENTRY* head = &CurrentKernel().OwnedMutants();
  for (LIST_ENTRY* link = head->Flink; link != head; link = link->Flink) {
    PRKMUTANT mutant = CONTAINING_RECORD(link, KMUTANT, MutantListEntry);
    if (owned(*mutant)) abandoning.push_back(mutant);
  }
  // Waking may hand a mutant to a waiter, which links it into the list again.
  for (PRKMUTANT mutant : abandoning) {
    Disown(mutant);
    mutant->Abandoned = TRUE;
    WakeWaiters(AsObject(mutant));
  }
}

}  // namespace

uint64_t CurrentThreadToken() {
  if (threadToken == 0) threadToken = nextThreadToken.fetch_add(1);
  return threadToken;
}

void AbandonProcessMutants(ULONG processId) {
  AbandonMutants([processId](const KMUTANT& mutant) { return mutant.OwnerProcess == processId; });
}

void AbandonThreadMutants() {
  uint64_t thread = CurrentThreadToken();
  AbandonMutants([thread](const KMUTANT& mutant) { return mutant.OwnerThread == thread; });
}

void ForgetMutant(PRKMUTANT mutant) {
  std::lock_guard lock(DispatcherLock());
  if (mutant->OwnerThread != 0) Disown(mutant);
}

void ThreadAlert::Alert() {
  std::lock_guard lock(DispatcherLock());
  if (waiter && !waiter->satisfied) {
    EndWait(*waiter, STATUS_ALERTED);
  } else {
    alerted = true;
  }
}

AlertScope::AlertScope(ThreadAlert& alert) : previous_(currentAlert) { currentAlert = &alert; }

AlertScope::~AlertScope() { currentAlert = previous_; }

size_t WaitingThreads(PRKEVENT event) {
  std::lock_guard lock(DispatcherLock());
  size_t count = 0;
  const LIST_ENTRY* head = &event->Header.WaitListHead;
  for (const LIST_ENTRY* link = head->Flink; link != head; link = link->Flink) ++count;
  return count;
}

}  // namespace nb::kernel

using namespace nb::kernel;

KIRQL KeGetCurrentIrql() { return currentIrql; }

VOID KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql) {
  assert(newIrql >= currentIrql && "KeRaiseIrql to a lower level");
  *oldIrql = currentIrql;
  currentIrql = newIrql;
}

VOID KeLowerIrql(KIRQL newIrql) {
  assert(newIrql <= currentIrql && "KeLowerIrql to a higher level");
  currentIrql = newIrql;
}

VOID KeInitializeSpinLock(PKSPIN_LOCK spinLock) { *spinLock = 0; }

VOID KeAcquireSpinLock(PKSPIN_LOCK spinLock, PKIRQL oldIrql) {
  KeRaiseIrql(DISPATCH_LEVEL, oldIrql);
  std::atomic_ref<KSPIN_LOCK> word(*spinLock);
  KSPIN_LOCK expected = 0;
  while (!word.compare_exchange_weak(expected, 1, std::memory_order_acquire)) {
    expected = 0;
    std::this_thread::yield();
  }
}

VOID KeReleaseSpinLock(PKSPIN_LOCK spinLock, KIRQL newIrql) {
  std::atomic_ref<KSPIN_LOCK>(*spinLock).store(0, std::memory_order_release);
  KeLowerIrql(newIrql);
}

VOID KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
  std::lock_guard lock(DispatcherLock());
  event->Header.Type = static_cast<UCHAR>(type);
  event->Header.Size = sizeof(KEVENT);
  event->Header.SignalState = state ? 1 : 0;
  InitializeListHead(&event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT event, LONG, BOOLEAN) {
  std::lock_guard lock(DispatcherLock());
  LONG previous = event->Header.SignalState;
  event->Header.SignalState = 1;
  WakeWaiters(event);
  return previous;
}

LONG KePulseEvent(PRKEVENT event, LONG, BOOLEAN) {
  std::lock_guard lock(DispatcherLock());
  LONG previous = event->Header.SignalState;
  if (previous == 0) {
    event->Header.SignalState = 1;
    WakeWaiters(event);
  }
  event->Header.SignalState = 0;
  return previous;
}

VOID KeClearEvent(PRKEVENT event) {
  std::lock_guard lock(DispatcherLock());
  event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT event) {
  std::lock_guard lock(DispatcherLock());
  LONG previous = event->Header.SignalState;
  event->Header.SignalState = 0;
  return previous;
}

LONG KeReadStateEvent(PRKEVENT event) {
  std::lock_guard lock(DispatcherLock());
  return event->Header.SignalState;
}

VOID KeInitializeMutant(PRKMUTANT mutant, BOOLEAN initialOwner) {
  std::lock_guard lock(DispatcherLock());
  mutant->Header.Type = MutantObject;
  mutant->Header.Size = sizeof(KMUTANT);
  mutant->Header.SignalState = 1;
  InitializeListHead(&mutant->Header.WaitListHead);
  mutant->OwnerThread = 0;
  mutant->OwnerProcess = 0;
  mutant->Abandoned = FALSE;
  if (initialOwner) {
    mutant->Header.SignalState = 0;
    mutant->OwnerThread = CurrentThreadToken();
    mutant->OwnerProcess = ProcessTable::IdOf(CurrentProcess());
    InsertTailList(&CurrentKernel().OwnedMutants(), &mutant->MutantListEntry);
  }
}

NTSTATUS KeReleaseMutantObject(PRKMUTANT mutant, LONG* previousCount) {
  uint64_t thread = CurrentThreadToken();
  ULONG process = ProcessTable::IdOf(CurrentProcess());
  std::lock_guard lock(DispatcherLock());
  if (!Owns(*mutant, process, thread)) return STATUS_MUTANT_NOT_OWNED;
  if (previousCount) *previousCount = mutant->Header.SignalState;
  if (++mutant->Header.SignalState == 1) {
    Disown(mutant);
    WakeWaiters(AsObject(mutant));
  }
  return STATUS_SUCCESS;
}

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON waitReason, KPROCESSOR_MODE waitMode, BOOLEAN alertable,
                               PLARGE_INTEGER timeout) {
  PVOID objects[1] = {object};
  return KeWaitForMultipleObjects(1, objects, WaitAny, waitReason, waitMode, alertable, timeout, nullptr);
}

NTSTATUS KeWaitForMultipleObjects(ULONG count, PVOID object[], WAIT_TYPE waitType, KWAIT_REASON,
                                  KPROCESSOR_MODE waitMode, BOOLEAN alertable, PLARGE_INTEGER timeout, PKWAIT_BLOCK) {
  bool poll = timeout && timeout->QuadPart == 0;
  assert((poll || currentIrql <= APC_LEVEL) && "waiting at DISPATCH_LEVEL");
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS) return STATUS_INVALID_PARAMETER;
  std::array<PRKEVENT, MAXIMUM_WAIT_OBJECTS> objects;
  std::array<_KWAIT_BLOCK, MAXIMUM_WAIT_OBJECTS> blocks;
  for (ULONG i = 0; i < count; ++i) objects[i] = static_cast<PRKEVENT>(object[i]);
  Waiter waiter;
  waiter.type = waitType;
  waiter.count = count;
  waiter.objects = objects.data();
  waiter.blocks = blocks.data();
  waiter.ownerThread = CurrentThreadToken();
  waiter.ownerProcess = ProcessTable::IdOf(CurrentProcess());

  // Only a user-mode alertable wait of a thread that installed an alert can be alerted.
  ThreadAlert* alert = alertable && waitMode == UserMode ? currentAlert : nullptr;

  std::unique_lock lock(DispatcherLock());
  if (TrySatisfy(waiter)) return waiter.status;
  if (alert && alert->alerted) {
    alert->alerted = false;
    return STATUS_ALERTED;
  }
  if (poll) return STATUS_TIMEOUT;
  for (ULONG i = 0; i < count; ++i) {
    blocks[i].waiter = &waiter;
    blocks[i].object = objects[i];
    InsertTailList(&objects[i]->Header.WaitListHead, &blocks[i].link);
  }
  if (alert) alert->waiter = &waiter;
  if (!timeout) {
    waiter.wake.wait(lock, [&] { return waiter.satisfied; });
  } else {
    auto deadline = std::chrono::steady_clock::now() + Remaining(*timeout);
    if (!waiter.wake.wait_until(lock, deadline, [&] { return waiter.satisfied; })) {
      Unlink(waiter);
      waiter.status = STATUS_TIMEOUT;
    }
  }
  if (alert) alert->waiter = nullptr;
  return waiter.status;
}
