// The event nbdv pulses whenever its device list changes.
//
// Kernel events are not yet part of the platform: the registration keeps the caller's
// handle and counts the pulses, and SignalEvent is where KeSetEvent/KeClearEvent on the
// event referenced by ObReferenceObjectByHandle will go.
#include "nb/resource_guard.h"
#include "nbdv.h"

namespace {

// Sets the event and clears it again at once: whoever waits at this moment is released.
void SignalEvent(NbdvExtension* extension) { ++extension->pulses; }

}  // namespace

NTSTATUS OpenListEvent(NbdvExtension* extension, ULONG handle) {
  if (handle == 0) return STATUS_INVALID_HANDLE;
  nb::ExclusiveLock guard(extension->eventLock);
  extension->eventHandle = handle;
  extension->eventOpen = TRUE;
  return STATUS_SUCCESS;
}

void CloseListEvent(NbdvExtension* extension) {
  nb::ExclusiveLock guard(extension->eventLock);
  extension->eventHandle = 0;
  extension->event = nullptr;
  extension->eventOpen = FALSE;
}

void PulseListEvent(NbdvExtension* extension) {
  nb::ExclusiveLock guard(extension->eventLock);
  if (extension->eventOpen) SignalEvent(extension);
}
