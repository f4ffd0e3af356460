// Driver load and unload.
#include "driver.h"
#include "events.h"
#include "fastio.h"
#include "identity.h"
#include "log.h"
#include "name_cache.h"
#include "nb/resource_guard.h"
#include "timer.h"
#include "trusted.h"

void SetDispatchTable(PDRIVER_OBJECT driver);

NbfsGlobals* nbfs = nullptr;

namespace {

constexpr ULONG kGlobalsTag = 'lGbN';
constexpr ULONG kFastIoTag = 'iFbN';

// Undoes the first steps of the load: the link, the control device and the globals.
NTSTATUS FailEarly(NbfsGlobals* globals, PUNICODE_STRING linkName, NTSTATUS status) {
  if (linkName) IoDeleteSymbolicLink(linkName);
  if (globals->control) IoDeleteDevice(globals->control);
  if (globals->fastIo) ExFreePoolWithTag(globals->fastIo, kFastIoTag);
  ExFreePoolWithTag(globals, kGlobalsTag);
  return status;
}

// Deletes the driver's filter devices from the top of their stacks down, so that none
// goes while another of them is still attached to it.
void DeleteFilterDevices(PDRIVER_OBJECT driver) {
  for (;;) {
    PDEVICE_OBJECT top = nullptr;
    PDEVICE_OBJECT any = nullptr;
    for (PDEVICE_OBJECT device = driver->DeviceObject; device; device = device->NextDevice) {
      if (device == nbfs->control) continue;
      any = device;
      if (!device->AttachedDevice) {
        top = device;
        break;
      }
    }
    if (!any) return;
    // Only foreign devices are left above: they are left to their own drivers.
    if (!top) IoDetachDevice(top = any);
    VolumeRecord* volume = VolumeOf(top);
    ExWaitForRundownProtectionRelease(&volume->rundown);
    if (volume->attached && volume->lower) IoDetachDevice(volume->lower);
    if (!(volume->state & VOLUME_STATE_FS_FILTER)) ExDeleteResourceLite(&volume->lock);
    volume->~VolumeRecord();
    IoDeleteDevice(top);
  }
}

}  // namespace

NTSTATUS nbfsDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING) {
  UNICODE_STRING deviceName;
  UNICODE_STRING linkName;
  RtlInitUnicodeString(&deviceName, NBFS_DEVICE_NAME);
  RtlInitUnicodeString(&linkName, NBFS_LINK_NAME);

  auto* globals = static_cast<NbfsGlobals*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(NbfsGlobals), kGlobalsTag));
  if (!globals) return STATUS_INSUFFICIENT_RESOURCES;
  globals->driver = driverObject;

  // 1, 2: the control device and its link.
  NTSTATUS status = IoCreateDevice(driverObject, sizeof(ControlExtension), &deviceName, FILE_DEVICE_UNKNOWN, 0,
                                   FALSE, &globals->control);
  if (!NT_SUCCESS(status)) return FailEarly(globals, nullptr, status);
  status = IoCreateSymbolicLink(&linkName, &deviceName);
  if (!NT_SUCCESS(status)) return FailEarly(globals, nullptr, status);
  // 3: the dispatch routines. The platform unloads drivers between machines, so the
  // driver offers an unload routine.
  SetDispatchTable(driverObject);
  driverObject->DriverUnload = nbfsUnload;
  // 4: the fast I/O table.
  globals->fastIo = static_cast<PFAST_IO_DISPATCH>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(FAST_IO_DISPATCH), kFastIoTag));
  if (!globals->fastIo) return FailEarly(globals, &linkName, STATUS_INSUFFICIENT_RESOURCES);
  FillFastIoDispatch(globals->fastIo);

  // 5: the volume list, the locks and the log; each step undoes the ones before it.
  auto* control = static_cast<ControlExtension*>(globals->control->DeviceExtension);
  if (NT_SUCCESS(status = VolumeTableInitialize(&control->table, &globals->attachLock))) {
    if (NT_SUCCESS(status = ExInitializeResourceLite(&globals->attachLock))) {
      if (!NT_SUCCESS(status = LogInitialize())) ExDeleteResourceLite(&globals->attachLock);
    }
    if (!NT_SUCCESS(status)) VolumeTableDelete(&control->table);
  }
  if (!NT_SUCCESS(status)) return FailEarly(globals, &linkName, status);
  driverObject->FastIoDispatch = globals->fastIo;
  nbfs = globals;
  // 5, 7: the process-name offset, the global trusted list with its System node, the
  // events and the name cache; from here the unload routine undoes everything.
  FindProcessNameOffset();
  if (!NT_SUCCESS(status = TrustedInitialize()) || !NT_SUCCESS(status = EventsInitialize()) ||
      !NT_SUCCESS(status = NameCacheInitialize())) {
    nbfsUnload(driverObject);
    return status;
  }
  // 6: the idle timer.
  TimerStart(globals->control);
  globals->control->Flags &= ~DO_DEVICE_INITIALIZING;
  // 8: file systems registered now and later get a filter.
  if (!NT_SUCCESS(status = IoRegisterFsRegistrationChange(driverObject, nbfsNotify))) {
    nbfsUnload(driverObject);
    return status;
  }
  nbfsLog(LOG_NOTICE, "NBFS(ver 3.6) Loading... Complete\n");
  return STATUS_SUCCESS;
}

// Detaches and deletes every filter and frees the table, so a machine can load the
// driver again.
VOID nbfsUnload(PDRIVER_OBJECT driverObject) {
  if (!nbfs) return;
  IoUnregisterFsRegistrationChange(driverObject, nbfsNotify);
  TimerStop();  // no walk may run once the table goes
  VolumeTable& table = Volumes();
  {
    nb::ExclusiveLock guard(table.lock);
    while (!IsListEmpty(&table.volumes)) {
      auto* volume = CONTAINING_RECORD(RemoveHeadList(&table.volumes), VolumeRecord, link);
      InitializeListHead(&volume->link);
      FreeVolumeContents(volume);
    }
  }
  DeleteFilterDevices(driverObject);
  UNICODE_STRING linkName;
  RtlInitUnicodeString(&linkName, NBFS_LINK_NAME);
  IoDeleteSymbolicLink(&linkName);
  NameCacheShutdown();
  EventsShutdown();
  TrustedShutdown();
  LogShutdown();
  ForgetProcessNameOffset();
  ExDeleteResourceLite(&nbfs->attachLock);
  VolumeTableDelete(&table);
  IoDeleteDevice(nbfs->control);
  driverObject->FastIoDispatch = nullptr;
  ExFreePoolWithTag(nbfs->fastIo, kFastIoTag);
  ExFreePoolWithTag(nbfs, kGlobalsTag);
  nbfs = nullptr;
}
