// Filters on the control devices of disk file systems, so that mounts are seen: attached
// when a file system registers (nbfsNotify) or on request (REGFS), detached when it goes.
#include <new>

#include "control_request.h"
#include "driver.h"
#include "log.h"
#include "nb/resource_guard.h"

namespace {

// Creates a file-system filter device (not yet attached).
NTSTATUS CreateFsFilter(PDEVICE_OBJECT* filter) {
  return IoCreateDevice(nbfs->driver, sizeof(VolumeRecord), nullptr, FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, filter);
}

// Sets up a new file-system filter's record and attaches the filter on top of a file
// system's control device; an attach that returns no device deletes the filter. The
// record is ready before the filter is in the stack. The attach lock is held.
bool AttachFsFilterLocked(PDEVICE_OBJECT filter, PDEVICE_OBJECT fileSystem) {
  AssertHeldExclusive(nbfs->attachLock);
  // No lock is initialised: a file-system filter holds no entries (see teardown.cpp).
  auto* record = new (VolumeOf(filter)) VolumeRecord{};
  InitializeListHead(&record->link);
  InitializeListHead(&record->entries);
  InitializeListHead(&record->processes);
  record->magic = NBFS_VOLUME_MAGIC;
  record->device = filter;
  record->state = VOLUME_STATE_FS_FILTER;
  record->lower = IoAttachDeviceToDeviceStack(filter, fileSystem);
  if (!record->lower) {
    record->~VolumeRecord();
    IoDeleteDevice(filter);
    return false;
  }
  record->attached = 1;
  filter->Flags &= ~DO_DEVICE_INITIALIZING;
  return true;
}

// A device of this driver: one found in its driver object's device list.
bool IsOwnDevice(PDEVICE_OBJECT device) {
  for (PDEVICE_OBJECT own = nbfs->driver->DeviceObject; own; own = own->NextDevice) {
    if (own == device) return true;
  }
  return false;
}

// The lowest of this driver's filters above a file system's control device, or null.
PDEVICE_OBJECT OwnFilterAbove(PDEVICE_OBJECT fileSystem) {
  for (PDEVICE_OBJECT device = fileSystem->AttachedDevice; device; device = device->AttachedDevice) {
    // Ownership first: another driver's extension may be too small to hold a magic.
    if (IsOwnDevice(device) && VolumeOf(device)->magic == NBFS_VOLUME_MAGIC) return device;
  }
  return nullptr;
}

// nbfsAttachFileSystem: the device at the top of the stack of the named file system's
// control device.
NTSTATUS nbfsAttachFileSystem(const WCHAR* name, PDEVICE_OBJECT* fileSystem) {
  *fileSystem = nullptr;
  UNICODE_STRING deviceName;
  RtlInitUnicodeString(&deviceName, name);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &deviceName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  IO_STATUS_BLOCK ioStatus;
  HANDLE handle;
  NTSTATUS status = ZwCreateFile(&handle, SYNCHRONIZE, &attributes, &ioStatus, nullptr, 0,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (!NT_SUCCESS(status)) {
    nbfsLog(LOG_ERROR, "nbfsAttachFileSystem: cannot open %ws\n", name);
    return status;
  }
  PVOID object;
  status = ObReferenceObjectByHandle(handle, FILE_READ_DATA, *IoFileObjectType, KernelMode, &object, nullptr);
  if (!NT_SUCCESS(status)) {
    nbfsLog(LOG_ERROR, "nbfsAttachFileSystem: Reference err, err=0x%x\n", status);
    (void)ZwClose(handle);
    return status;
  }
  PDEVICE_OBJECT device = IoGetRelatedDeviceObject(static_cast<PFILE_OBJECT>(object));
  ObDereferenceObject(object);
  (void)ZwClose(handle);
  if (!device) {
    nbfsLog(LOG_ERROR, "nbfsAttachFileSystem: invalid filesystem DeviceObject\n");
    return STATUS_UNSUCCESSFUL;
  }
  *fileSystem = device;
  return STATUS_SUCCESS;
}

NTSTATUS DoRegisterFs(const WCHAR* name) {
  PDEVICE_OBJECT fileSystem;
  NTSTATUS status = nbfsAttachFileSystem(name, &fileSystem);
  if (!NT_SUCCESS(status)) {
    nbfsLog(LOG_ERROR, "DoRegisterFs: cannot get fsdevice(%ws), errcode=%x\n", name, status);
    return status;
  }
  PDEVICE_OBJECT filter;
  status = CreateFsFilter(&filter);
  if (!NT_SUCCESS(status)) {
    nbfsLog(LOG_ERROR, "DoRegisterFs: cannot create device, errcode=%x\n", status);
    return status;
  }
  nb::ExclusiveLock guard(nbfs->attachLock);
  return AttachFsFilterLocked(filter, fileSystem) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

struct KnownFileSystem {
  const WCHAR* deviceName;
  const char* success;
  const char* failure;
};

constexpr KnownFileSystem kKnownFileSystems[] = {
    {u"\\Ntfs", "nbfsRegisterFs: register NTFS success\n", "nbfsRegisterFs: cannot register NTFS, err=0x%x\n"},
    {u"\\Fat", "nbfsRegisterFs: register FAT success\n", "nbfsRegisterFs: cannot register FAT, err=0x%x\n"},
    {u"\\UdfsDisk", "nbfsRegisterFs: register UDF success\n", "nbfsRegisterFs: cannot register UDF, err=0x%x\n"},
};

}  // namespace

VOID nbfsNotify(PDEVICE_OBJECT fileSystem, BOOLEAN active) {
  if (active) {
    nb::ExclusiveLock guard(nbfs->attachLock);
    // CD-ROM and network file systems are left alone.
    if (fileSystem->DeviceType != FILE_DEVICE_DISK_FILE_SYSTEM) return;
    PDEVICE_OBJECT filter;
    NTSTATUS status = CreateFsFilter(&filter);
    if (!NT_SUCCESS(status)) {
      nbfsLog(LOG_ERROR, "nbfsNotify: cannot create device, err=%x\n", status);
      return;
    }
    (void)AttachFsFilterLocked(filter, fileSystem);
    return;
  }
  // Exclusive: finding the filter, detaching and deleting it are one step, so that two
  // callers never detach or delete one filter twice.
  nb::ExclusiveLock guard(nbfs->attachLock);
  PDEVICE_OBJECT filter = OwnFilterAbove(fileSystem);
  if (!filter) return;
  VolumeRecord* record = VolumeOf(filter);
  IoDetachDevice(record->lower);
  record->attached = 0;
  // A device still attached above keeps the filter (it is deleted at unload).
  if (!filter->AttachedDevice) {
    record->~VolumeRecord();
    IoDeleteDevice(filter);
  }
}

// REGFS (nbfsRegisterFs): attaches to the disk file systems by name, once per load.
// Always succeeds; each file system's outcome is logged.
NTSTATUS ControlRegisterFs(const ControlRequest&, ULONG_PTR* information) {
  *information = 0;
  BOOLEAN registered;
  {
    nb::ExclusiveLock guard(nbfs->attachLock);
    registered = nbfs->fsRegistered;
    nbfs->fsRegistered = TRUE;
  }
  if (registered) {
    nbfsLog(LOG_NOTICE, "nbfsRegisterFs: already register FS\n");
    return STATUS_SUCCESS;
  }
  nbfsLog(LOG_NOTICE, "nbfsRegisterFs: registering FS... \n");
  for (const KnownFileSystem& fileSystem : kKnownFileSystems) {
    NTSTATUS status = DoRegisterFs(fileSystem.deviceName);
    if (NT_SUCCESS(status)) {
      nbfsLog(LOG_NOTICE, "%s", fileSystem.success);
    } else {
      nbfsLog(LOG_ERROR, fileSystem.failure, status);
    }
  }
  return STATUS_SUCCESS;
}
