// hostfs's one MajorFunction table, its load and unload, and request completion.
#include <unistd.h>

#include "hostfs_internal.h"

namespace nb::hostfs {

namespace {

NTSTATUS HostUnsupported(PDEVICE_OBJECT, PIRP irp) { return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST); }

NTSTATUS CreateControlDevice(PDRIVER_OBJECT driver, const char16_t* name, ULONG characteristics) {
  UNICODE_STRING deviceName;
  RtlInitUnicodeString(&deviceName, name);
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(driver, sizeof(DeviceExtension), &deviceName, FILE_DEVICE_DISK_FILE_SYSTEM,
                                   characteristics, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  static_cast<DeviceExtension*>(device->DeviceExtension)->kind = DeviceKind::kControl;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  // Volumes are mounted through registered file systems, and filters hear of them.
  IoRegisterFileSystem(device);
  return STATUS_SUCCESS;
}

// The same for every load: only the two routines are offered.
FAST_IO_DISPATCH fastIoDispatch;

VOID HostUnload(PDRIVER_OBJECT driver) {
  PDEVICE_OBJECT device = driver->DeviceObject;
  while (device) {
    PDEVICE_OBJECT next = device->NextDevice;
    if (HostVolume* volume = VolumeOf(device)) {
      DismountVolume(volume);
    } else {
      IoUnregisterFileSystem(device);
      IoDeleteDevice(device);
    }
    device = next;
  }
}

}  // namespace

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

HostVolume* VolumeOf(PDEVICE_OBJECT device) {
  auto* extension = static_cast<DeviceExtension*>(device->DeviceExtension);
  return extension->kind == DeviceKind::kVolume ? extension->volume : nullptr;
}

HostFile* FindFile(HostVolume* volume, PFILE_OBJECT fileObject) {
  if (!volume || !fileObject || !fileObject->FsContext) return nullptr;
  auto* file = static_cast<HostFile*>(fileObject->FsContext);
  std::lock_guard lock(volume->filesMutex);
  return volume->files.count(file) ? file : nullptr;
}

std::u16string PathOf(HostFile* file) {
  std::lock_guard lock(file->volume->filesMutex);
  return file->path;
}

void FreeFile(HostFile* file) {
  if (file->fd >= 0) close(file->fd);
  if (file->fileObject && file->fileObject->FsContext == file) {
    file->fileObject->FsContext = nullptr;
    file->fileObject->PrivateCacheMap = nullptr;
  }
  delete file;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING) {
  for (auto& routine : driverObject->MajorFunction) routine = HostUnsupported;
  driverObject->MajorFunction[IRP_MJ_CREATE] = HostCreate;
  driverObject->MajorFunction[IRP_MJ_CLEANUP] = HostCleanup;
  driverObject->MajorFunction[IRP_MJ_CLOSE] = HostClose;
  driverObject->MajorFunction[IRP_MJ_READ] = HostRead;
  driverObject->MajorFunction[IRP_MJ_WRITE] = HostWrite;
  driverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = HostFlushBuffers;
  driverObject->MajorFunction[IRP_MJ_QUERY_INFORMATION] = HostQueryInformation;
  driverObject->MajorFunction[IRP_MJ_SET_INFORMATION] = HostSetInformation;
  driverObject->MajorFunction[IRP_MJ_DIRECTORY_CONTROL] = HostDirectoryControl;
  driverObject->MajorFunction[IRP_MJ_QUERY_SECURITY] = HostQuerySecurity;
  driverObject->MajorFunction[IRP_MJ_SET_SECURITY] = HostSetSecurity;
  driverObject->MajorFunction[IRP_MJ_FILE_SYSTEM_CONTROL] = HostFileSystemControl;
  driverObject->MajorFunction[IRP_MJ_QUERY_VOLUME_INFORMATION] = HostQueryVolumeInformation;
  driverObject->MajorFunction[IRP_MJ_PNP] = HostPnp;
  driverObject->DriverUnload = HostUnload;
  FillFastIoDispatch(&fastIoDispatch);
  driverObject->FastIoDispatch = &fastIoDispatch;

  NTSTATUS status = CreateControlDevice(driverObject, kFixedControlName, 0);
  if (NT_SUCCESS(status)) status = CreateControlDevice(driverObject, kRemovableControlName, FILE_REMOVABLE_MEDIA);
  if (!NT_SUCCESS(status)) {
    while (PDEVICE_OBJECT device = driverObject->DeviceObject) {
      IoUnregisterFileSystem(device);
      IoDeleteDevice(device);
    }
  }
  return status;
}

}  // namespace nb::hostfs
