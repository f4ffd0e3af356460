// The mount manager: which drive letters and volume names each volume is known by.
// Its device and the records of IOCTL_MOUNTMGR_QUERY_POINTS, shared by the kernel and
// user-mode callers. Offsets inside the records count from the start of the buffer.
#pragma once

#include <cstddef>

#include "nb/basetypes.h"

#define MOUNTMGR_DEVICE_NAME u"\\Device\\MountPointManager"
#define MOUNTMGR_DOS_DEVICE_NAME u"\\\\.\\MountPointManager"

#define MOUNTMGRCONTROLTYPE 0x0000006D
#define IOCTL_MOUNTMGR_QUERY_POINTS CTL_CODE(MOUNTMGRCONTROLTYPE, 2, METHOD_BUFFERED, FILE_ANY_ACCESS)
static_assert(IOCTL_MOUNTMGR_QUERY_POINTS == 0x6D0008);

// One mount point: a symbolic link ("\DosDevices\C:" or "\??\Volume{...}"), the volume's
// unique id (bytes) and its device name ("\Device\HarddiskVolume1"). As a query, the
// filled parts select: a link, else a unique id, else a device name, else everything.
typedef struct _MOUNTMGR_MOUNT_POINT {
  ULONG SymbolicLinkNameOffset;
  USHORT SymbolicLinkNameLength;  // bytes
  ULONG UniqueIdOffset;
  USHORT UniqueIdLength;
  ULONG DeviceNameOffset;
  USHORT DeviceNameLength;
} MOUNTMGR_MOUNT_POINT, *PMOUNTMGR_MOUNT_POINT;
static_assert(sizeof(MOUNTMGR_MOUNT_POINT) == 24);
static_assert(offsetof(MOUNTMGR_MOUNT_POINT, SymbolicLinkNameLength) == 4);
static_assert(offsetof(MOUNTMGR_MOUNT_POINT, UniqueIdOffset) == 8);
static_assert(offsetof(MOUNTMGR_MOUNT_POINT, UniqueIdLength) == 12);
static_assert(offsetof(MOUNTMGR_MOUNT_POINT, DeviceNameOffset) == 16);
static_assert(offsetof(MOUNTMGR_MOUNT_POINT, DeviceNameLength) == 20);

// The answer: Size is the byte count the whole answer needs; when the output buffer is
// shorter only Size and NumberOfMountPoints are written (STATUS_BUFFER_OVERFLOW).
typedef struct _MOUNTMGR_MOUNT_POINTS {
  ULONG Size;
  ULONG NumberOfMountPoints;
  MOUNTMGR_MOUNT_POINT MountPoints[1];
} MOUNTMGR_MOUNT_POINTS, *PMOUNTMGR_MOUNT_POINTS;
static_assert(sizeof(MOUNTMGR_MOUNT_POINTS) == 32);
static_assert(offsetof(MOUNTMGR_MOUNT_POINTS, MountPoints) == 8);
