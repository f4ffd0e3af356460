// The mount manager's device: reports the drive letters and volume names of volumes.
#include "nb/kernel/io.h"
#include "nb/kernel/kernel.h"
#include "nb/kernel/mount_points.h"
#include "nb/kernel/object_namespace.h"
#include "volume_devices.h"

namespace nb::kernel {

namespace {

struct MountManagerExtension {
  const VolumeManager* volumes;
};

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// A device name given as a symbolic link ("\DosDevices\C:") stands for the device it
// leads to. A name that leads somewhere inside a device (a substituted drive's
// "\??\C:\Data") or to no device names no volume.
NTSTATUS DeviceNameOf(std::u16string* name) {
  ResolvedName resolved;
  if (!NT_SUCCESS(CurrentKernel().Namespace().Resolve(*name, &resolved)) || resolved.kind != ObjectKind::kDevice ||
      !resolved.remainder.empty()) {
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  const UNICODE_STRING& deviceName = static_cast<PDEVICE_OBJECT>(resolved.object)->Name;
  if (!deviceName.Buffer) return STATUS_OBJECT_NAME_NOT_FOUND;
  name->assign(deviceName.Buffer, deviceName.Length / sizeof(WCHAR));
  return STATUS_SUCCESS;
}

NTSTATUS QueryPoints(const VolumeManager& volumes, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  void* buffer = irp->AssociatedIrp.SystemBuffer;
  MountPointQuery query;
  NTSTATUS status = DecodeMountPointQuery(buffer, stack->Parameters.DeviceIoControl.InputBufferLength, &query);
  if (!NT_SUCCESS(status)) return Complete(irp, status);
  bool filtered = !query.symbolicLink.empty() || !query.uniqueId.empty() || !query.deviceName.empty();
  if (query.symbolicLink.empty() && query.uniqueId.empty() && !query.deviceName.empty() &&
      !NT_SUCCESS(status = DeviceNameOf(&query.deviceName))) {
    return Complete(irp, status);
  }
  std::vector<MountPoint> selected = SelectMountPoints(volumes.MountPoints(), query);
  if (filtered && selected.empty()) return Complete(irp, STATUS_OBJECT_NAME_NOT_FOUND);
  ULONG written;
  status = EncodeMountPoints(selected, buffer, stack->Parameters.DeviceIoControl.OutputBufferLength, &written);
  return Complete(irp, status, written);
}

NTSTATUS MountManagerDispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_DEVICE_CONTROL:
      if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_MOUNTMGR_QUERY_POINTS) {
        return QueryPoints(*static_cast<MountManagerExtension*>(device->DeviceExtension)->volumes, irp);
      }
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

constexpr const char16_t* kLinkName = u"\\DosDevices\\MountPointManager";

}  // namespace

NTSTATUS MountManagerDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& routine : driver->MajorFunction) routine = MountManagerDispatch;
  return STATUS_SUCCESS;
}

NTSTATUS CreateMountManagerDevice(PDRIVER_OBJECT driver, const VolumeManager* volumes) {
  UNICODE_STRING deviceName;
  RtlInitUnicodeString(&deviceName, MOUNTMGR_DEVICE_NAME);
  PDEVICE_OBJECT device;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(MountManagerExtension), &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  static_cast<MountManagerExtension*>(device->DeviceExtension)->volumes = volumes;
  UNICODE_STRING linkName;
  RtlInitUnicodeString(&linkName, kLinkName);
  status = IoCreateSymbolicLink(&linkName, &deviceName);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

void DeleteMountManagerLink() {
  UNICODE_STRING linkName;
  RtlInitUnicodeString(&linkName, kLinkName);
  (void)IoDeleteSymbolicLink(&linkName);
}

}  // namespace nb::kernel
