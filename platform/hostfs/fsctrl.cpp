// File-system control: mounting a host folder as a volume, dismounting it, and the user
// requests on a volume.
#include <fcntl.h>
#include <new>
#include <unistd.h>

#include "host_io.h"
#include "hostfs_internal.h"

namespace nb::hostfs {

namespace {

// The storage device's extension when it is a host folder's: storage devices without an
// extension (or with another signature) belong to some other file system.
const HostStorage* HostStorageOf(PDEVICE_OBJECT storage) {
  auto* candidate = static_cast<const HostStorage*>(storage ? storage->DeviceExtension : nullptr);
  return candidate && candidate->signature == kHostStorageSignature ? candidate : nullptr;
}

bool IsVolumeRequestServed(ULONG code) {
  switch (code) {
    case FSCTL_LOCK_VOLUME:
    case FSCTL_UNLOCK_VOLUME:
    case FSCTL_DISMOUNT_VOLUME:
    case FSCTL_IS_VOLUME_MOUNTED:
      return true;
    default:
      return false;
  }
}

}  // namespace

NTSTATUS MountVolume(PDEVICE_OBJECT controlDevice, PVPB vpb, PDEVICE_OBJECT storage) {
  const HostStorage* backing = HostStorageOf(storage);
  if (!backing || !vpb || storage->DeviceType != FILE_DEVICE_DISK) return STATUS_UNRECOGNIZED_VOLUME;
  // "\Ntfs" mounts fixed volumes, "\Fat" removable ones.
  if ((storage->Characteristics & FILE_REMOVABLE_MEDIA) != (controlDevice->Characteristics & FILE_REMOVABLE_MEDIA))
    return STATUS_UNRECOGNIZED_VOLUME;
  KIRQL irql;
  IoAcquireVpbSpinLock(&irql);
  bool mounted = vpb->Flags & VPB_MOUNTED;
  IoReleaseVpbSpinLock(irql);
  if (mounted) return STATUS_INVALID_DEVICE_REQUEST;

  int rootFd = openat(backing->directoryFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (rootFd < 0) return StatusFromErrno(errno);
  auto* volume = new (std::nothrow) HostVolume;
  if (!volume) {
    close(rootFd);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(controlDevice->DriverObject, sizeof(DeviceExtension), nullptr,
                                   FILE_DEVICE_DISK_FILE_SYSTEM, storage->Characteristics, FALSE, &device);
  if (!NT_SUCCESS(status)) {
    close(rootFd);
    delete volume;
    return status;
  }
  auto* extension = static_cast<DeviceExtension*>(device->DeviceExtension);
  extension->kind = DeviceKind::kVolume;
  extension->volume = volume;
  ExInitializeRundownProtection(&extension->rundown);
  volume->device = device;
  volume->storage = storage;
  volume->vpb = vpb;
  volume->rootFd = rootFd;
  device->StackSize = static_cast<CHAR>(storage->StackSize + 1);
  device->Vpb = vpb;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  IoAcquireVpbSpinLock(&irql);
  vpb->DeviceObject = device;
  vpb->RealDevice = storage;
  vpb->SerialNumber = backing->serialNumber;
  vpb->Flags |= VPB_MOUNTED;
  IoReleaseVpbSpinLock(irql);
  return STATUS_SUCCESS;
}

void DismountVolume(HostVolume* volume) {
  // New opens no longer find the volume; then the requests inside hostfs leave.
  KIRQL irql;
  IoAcquireVpbSpinLock(&irql);
  if (volume->vpb && volume->vpb->DeviceObject == volume->device) {
    volume->vpb->DeviceObject = nullptr;
    volume->vpb->Flags &= ~VPB_MOUNTED;
  }
  IoReleaseVpbSpinLock(irql);
  auto* extension = static_cast<DeviceExtension*>(volume->device->DeviceExtension);
  ExWaitForRundownProtectionRelease(&extension->rundown);
  std::set<HostFile*> files;
  {
    std::lock_guard lock(volume->filesMutex);
    files.swap(volume->files);
  }
  // A file object whose close met the dismount may be gone already, so none is touched:
  // what is left of an open one names a volume that no longer exists, and FindFile,
  // which looks the context up in a volume's set, recognises it nowhere.
  for (HostFile* file : files) FreeFile(file, false);
  close(volume->rootFd);
  extension->volume = nullptr;
  // Filters attached to the volume detach themselves as the device goes; the device
  // itself stays until the last request that reached it ends.
  IoDeleteDevice(volume->device);
  delete volume;
}

NTSTATUS HostFileSystemControl(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  HostVolume* volume = VolumeOf(device);
  if (!volume) {
    switch (stack->MinorFunction) {
      case IRP_MN_MOUNT_VOLUME:
        return CompleteRequest(
            irp, MountVolume(device, stack->Parameters.MountVolume.Vpb, stack->Parameters.MountVolume.DeviceObject));
      case IRP_MN_LOAD_FILE_SYSTEM:
        return CompleteRequest(irp, STATUS_NOT_SUPPORTED);
      default:
        return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
  }
  if (stack->MinorFunction == IRP_MN_USER_FS_REQUEST && IsReparseRequest(stack->Parameters.FileSystemControl.FsControlCode))
    return HostReparseRequest(device, irp);
  // Locking and dismounting are accepted without effect: the host folder stays usable.
  if (stack->MinorFunction == IRP_MN_USER_FS_REQUEST &&
      IsVolumeRequestServed(stack->Parameters.FileSystemControl.FsControlCode))
    return CompleteRequest(irp, STATUS_SUCCESS);
  return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace nb::hostfs
