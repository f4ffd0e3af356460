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

NTSTATUS nbfsDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING) {
  UNICODE_STRING deviceName;
  UNICODE_STRING linkName;
  RtlInitUnicodeString(&deviceName, NBFS_DEVICE_NAME);
  RtlInitUnicodeString(&linkName, NBFS_LINK_NAME);

  auto* globals = static_cast<NbfsGlobals*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(NbfsGlobals), 'lGbN'));
  if (!globals) return STATUS_INSUFFICIENT_RESOURCES;
  globals->driver = driverObject;

  NTSTATUS status = IoCreateDevice(driverObject, sizeof(ControlExtension), &deviceName, FILE_DEVICE_UNKNOWN, 0,
                                   FALSE, &globals->control);
  if (!NT_SUCCESS(status)) {
    ExFreePool(globals);
    return status;
  }
  status = IoCreateSymbolicLink(&linkName, &deviceName);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(globals->control);
    ExFreePool(globals);
    return status;
  }
  SetDispatchTable(driverObject);
  driverObject->DriverUnload = nbfsUnload;
  FillFastIoDispatch(&globals->fastIo);
  driverObject->FastIoDispatch = &globals->fastIo;

  auto* control = static_cast<ControlExtension*>(globals->control->DeviceExtension);
  // Each step undoes the ones before it when it fails.
  if (NT_SUCCESS(status = VolumeTableInitialize(&control->table))) {
    if (NT_SUCCESS(status = ExInitializeResourceLite(&globals->attachLock))) {
      if (!NT_SUCCESS(status = LogInitialize())) ExDeleteResourceLite(&globals->attachLock);
    }
    if (!NT_SUCCESS(status)) VolumeTableDelete(&control->table);
  }
  if (!NT_SUCCESS(status)) {
    IoDeleteSymbolicLink(&linkName);
    IoDeleteDevice(globals->control);
    ExFreePool(globals);
    return status;
  }
  nbfs = globals;
  FindProcessNameOffset();
  if (!NT_SUCCESS(status = TrustedInitialize()) || !NT_SUCCESS(status = EventsInitialize()) ||
      !NT_SUCCESS(status = NameCacheInitialize())) {
    nbfsUnload(driverObject);
    return status;
  }
  TimerStart(globals->control);
  globals->control->Flags &= ~DO_DEVICE_INITIALIZING;
  nbfsLog(LOG_NOTICE, "NBFS(ver 3.6) Loading... Complete\n");
  return STATUS_SUCCESS;
}

// Detaches and deletes every filter and frees the table, so a machine can load the
// driver again.
VOID nbfsUnload(PDRIVER_OBJECT driverObject) {
  if (!nbfs) return;
  TimerStop();  // no walk may run once the table goes
  VolumeTable& table = Volumes();
  {
    nb::ExclusiveLock guard(table.lock);
    while (!IsListEmpty(&table.volumes)) {
      auto* volume = CONTAINING_RECORD(RemoveHeadList(&table.volumes), VolumeRecord, link);
      FreeVolumeContents(volume);
    }
  }
  for (PDEVICE_OBJECT device = driverObject->DeviceObject; device;) {
    PDEVICE_OBJECT next = device->NextDevice;
    if (device != nbfs->control) {
      auto* volume = VolumeOf(device);
      if (volume->lower) IoDetachDevice(volume->lower);
      ExDeleteResourceLite(&volume->lock);
      volume->~VolumeRecord();
      IoDeleteDevice(device);
    }
    device = next;
  }
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
  ExFreePool(nbfs);
  nbfs = nullptr;
}
