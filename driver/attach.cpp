// Attaching a filter device on top of a drive's volume.
#include "driver.h"
#include "log.h"
#include "nb/resource_guard.h"

NTSTATUS AttachToVolume(UCHAR letter, VolumeRecord** record) {
  WCHAR name[] = u"\\DosDevices\\A:";
  name[12] = letter;
  UNICODE_STRING volumeName;
  RtlInitUnicodeString(&volumeName, name);
  PFILE_OBJECT file;
  PDEVICE_OBJECT target;
  NTSTATUS status = IoGetDeviceObjectPointer(&volumeName, FILE_READ_DATA, &file, &target);
  if (!NT_SUCCESS(status)) return status;
  // Only the device is needed; closing first keeps the close from passing the new filter.
  ObDereferenceObject(file);

  PDEVICE_OBJECT filter;
  status = IoCreateDevice(nbfs->driver, sizeof(VolumeRecord), nullptr, target->DeviceType, 0, FALSE, &filter);
  if (!NT_SUCCESS(status)) return status;
  auto* volume = VolumeOf(filter);
  status = InitializeVolumeRecord(volume, filter, letter);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(filter);
    return status;
  }
  {
    nb::ExclusiveLock guard(nbfs->attachLock);
    volume->lower = IoAttachDeviceToDeviceStack(filter, target);
  }
  if (!volume->lower) {
    ExDeleteResourceLite(&volume->lock);
    IoDeleteDevice(filter);
    return STATUS_NO_SUCH_DEVICE;
  }
  filter->Flags &= ~DO_DEVICE_INITIALIZING;
  *record = volume;
  return STATUS_SUCCESS;
}
