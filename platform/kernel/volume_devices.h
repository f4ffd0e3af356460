// The devices behind the volume manager: storage devices (disks, CD-ROMs, the network
// redirector) and the mount manager's device.
#pragma once

#include <ntifs.h>

#include "nb/kernel/volumes.h"

namespace nb::kernel {

// The extension of a storage device. The medium comes first: it is what a file system
// looks at when asked to mount the device.
struct StorageExtension {
  HostMedium medium;
  bool redirector;  // the network redirector: every open succeeds, nothing is mounted
};

// The storage driver: a device with no file system mounted can only be opened as a
// volume (an empty name); cleanup and close always succeed.
NTSTATUS StorageDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// The mount manager's driver and its device "\Device\MountPointManager", linked as
// "\DosDevices\MountPointManager", answering IOCTL_MOUNTMGR_QUERY_POINTS from `volumes`.
NTSTATUS MountManagerDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
[[nodiscard]] NTSTATUS CreateMountManagerDevice(PDRIVER_OBJECT driver, const VolumeManager* volumes);
void DeleteMountManagerLink();

}  // namespace nb::kernel
