// The driver's devices and global state, and the helpers every dispatch routine shares.
#pragma once

#include <ntifs.h>

#include "table.h"

// Extension of the control device.
struct ControlExtension {
  VolumeTable table;
};

struct NbfsGlobals {
  PDRIVER_OBJECT driver;
  PDEVICE_OBJECT control;
  PFAST_IO_DISPATCH fastIo;  // the driver's fast I/O table
  ERESOURCE attachLock;      // serialises attaching, detaching and deleting filter devices, and
                             // ADD_SERVICE's lookup, attach and link; taken before any table lock
  BOOLEAN fsRegistered;      // REGFS has run (once per load); set under attachLock
};

extern NbfsGlobals* nbfs;

// The driver's entry point, named apart so that several drivers link into one test.
NTSTATUS nbfsDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
// Releases everything the load created (the platform's driver unload).
VOID nbfsUnload(PDRIVER_OBJECT driverObject);

inline VolumeTable& Volumes() {
  return static_cast<ControlExtension*>(nbfs->control->DeviceExtension)->table;
}
inline bool IsControlDevice(PDEVICE_OBJECT device) { return device == nbfs->control; }
// The volume record of one of the driver's filter devices.
inline VolumeRecord* VolumeOf(PDEVICE_OBJECT device) { return static_cast<VolumeRecord*>(device->DeviceExtension); }

// Completes a request with a status and a byte count; the one way requests end here.
NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information);
// Hands a request unchanged to the device below the filter.
NTSTATUS PassOn(VolumeRecord* volume, PIRP irp);

// Attaches a filter to the volume of a drive letter (ADD_SERVICE on an unknown drive).
NTSTATUS AttachToVolume(UCHAR letter, VolumeRecord** record);
// The file-system notification routine: attaches a filter to every disk file system that
// registers and detaches it when the file system goes.
VOID nbfsNotify(PDEVICE_OBJECT fileSystem, BOOLEAN active);

// Wakes whoever waits for volumes coming and going (the device-notify event).
void PulseDeviceNotify();

// Dispatch routines.
NTSTATUS nbfsDeviceControl(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS nbfsPassTH(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS nbfsCreate(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS setInfo(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS queryInfo(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS nbfsSecurity(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS nbfsDir(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS nbfsFsControl(PDEVICE_OBJECT device, PIRP irp);
