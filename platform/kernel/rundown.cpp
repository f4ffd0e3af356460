// Rundown protection: a count of holders in one word, with a bit that closes it.
#include <atomic>
#include <cassert>

#include <ntifs.h>

namespace {

constexpr ULONG_PTR kRundownActive = 1;
constexpr ULONG_PTR kHolder = 2;

std::atomic_ref<ULONG_PTR> Word(PEX_RUNDOWN_REF runRef) { return std::atomic_ref<ULONG_PTR>(runRef->Count); }

}  // namespace

VOID ExInitializeRundownProtection(PEX_RUNDOWN_REF runRef) { Word(runRef).store(0, std::memory_order_release); }

VOID ExReInitializeRundownProtection(PEX_RUNDOWN_REF runRef) {
  assert(Word(runRef).load() == kRundownActive && "reinitialising a rundown that has not completed");
  Word(runRef).store(0, std::memory_order_release);
}

BOOLEAN ExAcquireRundownProtection(PEX_RUNDOWN_REF runRef) {
  auto word = Word(runRef);
  ULONG_PTR value = word.load(std::memory_order_relaxed);
  do {
    if (value & kRundownActive) return FALSE;
  } while (!word.compare_exchange_weak(value, value + kHolder, std::memory_order_acquire, std::memory_order_relaxed));
  return TRUE;
}

VOID ExReleaseRundownProtection(PEX_RUNDOWN_REF runRef) {
  auto word = Word(runRef);
  ULONG_PTR previous = word.fetch_sub(kHolder, std::memory_order_release);
  assert(previous >= kHolder && "releasing rundown protection that is not held");
  // The last holder to leave a running-down object wakes its owner.
  if (previous == (kRundownActive | kHolder)) word.notify_all();
}

VOID ExWaitForRundownProtectionRelease(PEX_RUNDOWN_REF runRef) {
  auto word = Word(runRef);
  ULONG_PTR value = word.fetch_or(kRundownActive, std::memory_order_acq_rel) | kRundownActive;
  while (value != kRundownActive) {
    word.wait(value, std::memory_order_acquire);
    value = word.load(std::memory_order_acquire);
  }
}

VOID ExRundownCompleted(PEX_RUNDOWN_REF runRef) {
  assert((Word(runRef).load() & ~kRundownActive) == 0 && "completing a rundown that still has holders");
  Word(runRef).store(kRundownActive, std::memory_order_release);
}
