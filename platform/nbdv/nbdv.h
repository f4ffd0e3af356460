// The removable-device driver's control device, its state and its dispatch routines.
#pragma once

#include <ntifs.h>

#include "device_list.h"

// Extension of the control device. Lock order: list lock, then event lock (a pulse is
// sent after the list lock is released).
struct NbdvExtension {
  ERESOURCE listLock;  // guards `devices`
  DeviceTable devices;
  ERESOURCE eventLock;  // guards the event registration
  PVOID event;          // the referenced event object; null when none is registered
  BOOLEAN eventOpen;
  ULONG pulses;                 // pulses sent since load
  PVOID volumeNotification;     // the registration for volume arrival and removal
};

// The driver's entry point, named apart so that several drivers link into one test.
NTSTATUS nbdvDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
VOID nbdvUnload(PDRIVER_OBJECT driverObject);

NTSTATUS nbdvDeviceControl(PDEVICE_OBJECT device, PIRP irp);

// The event registration of NBDV_OPEN_EVENT and NBDV_CLOSE_EVENT.
[[nodiscard]] NTSTATUS OpenListEvent(NbdvExtension* extension, ULONG handle);
void CloseListEvent(NbdvExtension* extension);
// Tells the registered event that the list changed (nothing when none is open).
void PulseListEvent(NbdvExtension* extension);
// The volume-interface routine: a volume arrived or went away, so the event is pulsed.
NTSTATUS nbdvVolumeChange(PVOID notification, PVOID context);
