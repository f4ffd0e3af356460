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

// Requests on a volume run under its rundown protection; once the dismount has begun
// they find the volume gone (cleanup and close have nothing left to do: the dismount
// closed every file).
template <PDRIVER_DISPATCH Routine>
NTSTATUS OnVolume(PDEVICE_OBJECT device, PIRP irp) {
  VolumeRequest request(device);
  if (!request.Gone()) return Routine(device, irp);
  UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  return CompleteRequest(irp, major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE ? STATUS_SUCCESS
                                                                               : STATUS_VOLUME_DISMOUNTED);
}

constexpr ULONG kFastIoTag = 'FsoH';

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
  ExFreePoolWithTag(driver->FastIoDispatch, kFastIoTag);
  driver->FastIoDispatch = nullptr;
}

}  // namespace

VolumeRequest::VolumeRequest(PDEVICE_OBJECT device)
    : extension_(static_cast<DeviceExtension*>(device->DeviceExtension)) {
  if (extension_->kind != DeviceKind::kVolume) return;
  held_ = ExAcquireRundownProtection(&extension_->rundown);
  gone_ = !held_;
}

VolumeRequest::~VolumeRequest() {
  if (held_) ExReleaseRundownProtection(&extension_->rundown);
}

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

void ForgetName(HostVolume* volume, dev_t device, ino_t inode, const std::u16string& path) {
  if (path.empty()) return;
  for (HostFile* open : volume->files) {
    if (open->device == device && open->inode == inode && open->path == path) {
      open->path.clear();
      // The file goes with its last close; it is as good as delete-pending.
      open->deletePending = true;
      if (open->fileObject) open->fileObject->DeletePending = TRUE;
    }
  }
}

void FreeFile(HostFile* file, bool detach) {
  if (file->fd >= 0) close(file->fd);
  if (detach && file->fileObject && file->fileObject->FsContext == file) {
    file->fileObject->FsContext = nullptr;
    file->fileObject->PrivateCacheMap = nullptr;
  }
  delete file;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING) {
  for (auto& routine : driverObject->MajorFunction) routine = OnVolume<HostUnsupported>;
  driverObject->MajorFunction[IRP_MJ_CREATE] = OnVolume<HostCreate>;
  driverObject->MajorFunction[IRP_MJ_CLEANUP] = OnVolume<HostCleanup>;
  driverObject->MajorFunction[IRP_MJ_CLOSE] = OnVolume<HostClose>;
  driverObject->MajorFunction[IRP_MJ_READ] = OnVolume<HostRead>;
  driverObject->MajorFunction[IRP_MJ_WRITE] = OnVolume<HostWrite>;
  driverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = OnVolume<HostFlushBuffers>;
  driverObject->MajorFunction[IRP_MJ_QUERY_INFORMATION] = OnVolume<HostQueryInformation>;
  driverObject->MajorFunction[IRP_MJ_SET_INFORMATION] = OnVolume<HostSetInformation>;
  driverObject->MajorFunction[IRP_MJ_DIRECTORY_CONTROL] = OnVolume<HostDirectoryControl>;
  driverObject->MajorFunction[IRP_MJ_QUERY_SECURITY] = OnVolume<HostQuerySecurity>;
  driverObject->MajorFunction[IRP_MJ_SET_SECURITY] = OnVolume<HostSetSecurity>;
  driverObject->MajorFunction[IRP_MJ_FILE_SYSTEM_CONTROL] = OnVolume<HostFileSystemControl>;
  driverObject->MajorFunction[IRP_MJ_QUERY_VOLUME_INFORMATION] = OnVolume<HostQueryVolumeInformation>;
  // The removal itself dismounts, which waits for the requests on the volume: it holds none.
  driverObject->MajorFunction[IRP_MJ_PNP] = HostPnp;
  driverObject->DriverUnload = HostUnload;
  // Each load has its own table, so that machines side by side share nothing.
  auto* fastIo =
      static_cast<PFAST_IO_DISPATCH>(ExAllocatePoolWithTag(NonPagedPool, sizeof(FAST_IO_DISPATCH), kFastIoTag));
  if (!fastIo) return STATUS_INSUFFICIENT_RESOURCES;
  FillFastIoDispatch(fastIo);
  driverObject->FastIoDispatch = fastIo;

  NTSTATUS status = CreateControlDevice(driverObject, kFixedControlName, 0);
  if (NT_SUCCESS(status)) status = CreateControlDevice(driverObject, kRemovableControlName, FILE_REMOVABLE_MEDIA);
  if (!NT_SUCCESS(status)) {
    while (PDEVICE_OBJECT device = driverObject->DeviceObject) {
      IoUnregisterFileSystem(device);
      IoDeleteDevice(device);
    }
    ExFreePoolWithTag(fastIo, kFastIoTag);
    driverObject->FastIoDispatch = nullptr;
  }
  return status;
}

}  // namespace nb::hostfs
