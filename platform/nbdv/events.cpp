// The event nbdv pulses whenever its device list changes and whenever a volume arrives
// or goes away.
#include "nb/resource_guard.h"
#include "nbdv.h"

namespace {

HANDLE HandleFromWire(ULONG value) { return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(value)); }

// Drops the registered event; the event lock is held.
void ForgetEventLocked(NbdvExtension* extension) {
  if (extension->event) ObDereferenceObject(extension->event);
  extension->event = nullptr;
  extension->eventOpen = FALSE;
}

}  // namespace

NTSTATUS OpenListEvent(NbdvExtension* extension, ULONG handle) {
  // Only an event of the caller's is accepted: pulsing anything else would corrupt it.
  PVOID event;
  NTSTATUS status = ObReferenceObjectByHandle(HandleFromWire(handle), EVENT_MODIFY_STATE, *ExEventObjectType,
                                              UserMode, &event, nullptr);
  if (!NT_SUCCESS(status)) return status;
  nb::ExclusiveLock guard(extension->eventLock);
  ForgetEventLocked(extension);
  extension->event = event;
  extension->eventOpen = TRUE;
  KeClearEvent(static_cast<PKEVENT>(event));
  return STATUS_SUCCESS;
}

void CloseListEvent(NbdvExtension* extension) {
  nb::ExclusiveLock guard(extension->eventLock);
  ForgetEventLocked(extension);
}

void PulseListEvent(NbdvExtension* extension) {
  nb::ExclusiveLock guard(extension->eventLock);
  if (!extension->eventOpen || !extension->event) return;
  // Set and cleared in one step: whoever waits at this moment is released, once.
  KePulseEvent(static_cast<PKEVENT>(extension->event), 0, FALSE);
  ++extension->pulses;
}

NTSTATUS nbdvVolumeChange(PVOID notification, PVOID context) {
  auto* change = static_cast<PDEVICE_INTERFACE_CHANGE_NOTIFICATION>(notification);
  if (IsEqualGUID(change->Event, GUID_DEVICE_INTERFACE_ARRIVAL) ||
      IsEqualGUID(change->Event, GUID_DEVICE_INTERFACE_REMOVAL)) {
    PulseListEvent(static_cast<NbdvExtension*>(context));
  }
  return STATUS_SUCCESS;
}
