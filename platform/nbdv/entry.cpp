// Driver load and unload, and the dispatch table of nbdv.
#include "nbdv.h"

namespace {

// Opening and closing the control device always succeed; nothing else is served.
NTSTATUS nbdvCreateClose(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS nbdvUnsupported(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace

NTSTATUS nbdvDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING) {
  UNICODE_STRING deviceName;
  UNICODE_STRING linkName;
  RtlInitUnicodeString(&deviceName, NBDV_DEVICE_NAME);
  RtlInitUnicodeString(&linkName, NBDV_LINK_NAME);

  PDEVICE_OBJECT control;
  NTSTATUS status =
      IoCreateDevice(driverObject, sizeof(NbdvExtension), &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &control);
  if (!NT_SUCCESS(status)) return status;
  auto* extension = static_cast<NbdvExtension*>(control->DeviceExtension);
  RtlZeroMemory(extension, sizeof *extension);
  if (!NT_SUCCESS(status = ExInitializeResourceLite(&extension->listLock))) {
    IoDeleteDevice(control);
    return status;
  }
  if (!NT_SUCCESS(status = ExInitializeResourceLite(&extension->eventLock))) {
    ExDeleteResourceLite(&extension->listLock);
    IoDeleteDevice(control);
    return status;
  }
  if (!NT_SUCCESS(status = IoCreateSymbolicLink(&linkName, &deviceName))) {
    ExDeleteResourceLite(&extension->eventLock);
    ExDeleteResourceLite(&extension->listLock);
    IoDeleteDevice(control);
    return status;
  }
  if (!NT_SUCCESS(status = IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange, 0,
                                                          const_cast<GUID*>(&GUID_DEVINTERFACE_VOLUME), driverObject,
                                                          nbdvVolumeChange, extension,
                                                          &extension->volumeNotification))) {
    IoDeleteSymbolicLink(&linkName);
    ExDeleteResourceLite(&extension->eventLock);
    ExDeleteResourceLite(&extension->listLock);
    IoDeleteDevice(control);
    return status;
  }
  for (auto& routine : driverObject->MajorFunction) routine = nbdvUnsupported;
  driverObject->MajorFunction[IRP_MJ_CREATE] = nbdvCreateClose;
  driverObject->MajorFunction[IRP_MJ_CLEANUP] = nbdvCreateClose;
  driverObject->MajorFunction[IRP_MJ_CLOSE] = nbdvCreateClose;
  driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = nbdvDeviceControl;
  driverObject->DriverUnload = nbdvUnload;
  control->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

VOID nbdvUnload(PDRIVER_OBJECT driverObject) {
  PDEVICE_OBJECT control = driverObject->DeviceObject;
  if (!control) return;
  auto* extension = static_cast<NbdvExtension*>(control->DeviceExtension);
  (void)IoUnregisterPlugPlayNotification(extension->volumeNotification);
  CloseListEvent(extension);
  UNICODE_STRING linkName;
  RtlInitUnicodeString(&linkName, NBDV_LINK_NAME);
  IoDeleteSymbolicLink(&linkName);
  ExDeleteResourceLite(&extension->eventLock);
  ExDeleteResourceLite(&extension->listLock);
  IoDeleteDevice(control);
}
