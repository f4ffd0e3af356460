// Attaching a filter device on top of a drive's mounted volume (ADD_SERVICE on a letter
// the table does not know yet).
#include "driver.h"
#include "log.h"

namespace {

// GetFSD: the device at the top of the stack of the volume mounted as drive `letter`,
// found by opening the drive's root directory.
NTSTATUS GetFSD(UCHAR letter, PDEVICE_OBJECT* fileSystem) {
  *fileSystem = nullptr;
  CHAR path[] = "\\DosDevices\\a:\\";
  path[12] = static_cast<CHAR>(letter);
  ANSI_STRING ansiPath;
  RtlInitAnsiString(&ansiPath, path);
  UNICODE_STRING rootName;
  NTSTATUS status = RtlAnsiStringToUnicodeString(&rootName, &ansiPath, TRUE);
  if (!NT_SUCCESS(status)) {
    nbfsLog(LOG_ERROR, "GetFSD: ansi to uni fail, err=0x%x\n", status);
    return status;
  }
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &rootName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  IO_STATUS_BLOCK ioStatus;
  HANDLE handle;
  status = ZwCreateFile(&handle, SYNCHRONIZE, &attributes, &ioStatus, nullptr, 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        FILE_OPEN, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  RtlFreeUnicodeString(&rootName);
  if (!NT_SUCCESS(status)) {
    nbfsLog(LOG_ERROR, "GetFSD: cannot open [%s]\n", path);
    return status;
  }
  PVOID object;
  status = ObReferenceObjectByHandle(handle, FILE_READ_DATA, *IoFileObjectType, KernelMode, &object, nullptr);
  if (!NT_SUCCESS(status)) {
    nbfsLog(LOG_ERROR, "Ref err\n");
    (void)ZwClose(handle);
    return status;
  }
  PDEVICE_OBJECT device = IoGetRelatedDeviceObject(static_cast<PFILE_OBJECT>(object));
  // Released before the filter is attached, so the close does not pass it.
  ObDereferenceObject(object);
  (void)ZwClose(handle);
  if (!device) return STATUS_UNSUCCESSFUL;
  *fileSystem = device;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS AttachToVolume(UCHAR letter, VolumeRecord** record) {
  AssertHeldExclusive(nbfs->attachLock);  // ADD_SERVICE holds it from lookup to link
  *record = nullptr;
  PDEVICE_OBJECT target;
  NTSTATUS status = GetFSD(letter, &target);
  if (!NT_SUCCESS(status)) {
    nbfsLog(LOG_ERROR, "cannot attach device, since cannot get filesystem deviceobject, errcode=%x\n", status);
    return status;
  }
  PDEVICE_OBJECT filter;
  status = IoCreateDevice(nbfs->driver, sizeof(VolumeRecord), nullptr, target->DeviceType, 0, FALSE, &filter);
  if (!NT_SUCCESS(status)) {
    nbfsLog(LOG_ERROR, "cannot attach device, since create device err, errcode=%x\n", status);
    return status;
  }
  auto* volume = VolumeOf(filter);
  status = InitializeVolumeRecord(volume, filter, letter);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(filter);
    return status;
  }
  volume->lower = IoAttachDeviceToDeviceStack(filter, target);
  if (!volume->lower) {
    nbfsLog(LOG_ERROR, "cannot attach device, errcode=%x\n", STATUS_NO_SUCH_DEVICE);
    ExDeleteResourceLite(&volume->lock);
    volume->~VolumeRecord();
    IoDeleteDevice(filter);
    return STATUS_NO_SUCH_DEVICE;
  }
  filter->Flags &= ~DO_DEVICE_INITIALIZING;
  *record = volume;
  return STATUS_SUCCESS;
}
