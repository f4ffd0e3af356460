// Volume information records (IRP_MJ_QUERY_VOLUME_INFORMATION), shared by the kernel,
// the file systems and the user-mode library that asks for them.
#pragma once

#include <cstddef>

#include "nb/basetypes.h"

// Device characteristics reported with FileFsDeviceInformation.
#ifndef FILE_REMOVABLE_MEDIA
#define FILE_REMOVABLE_MEDIA 0x00000001
#endif
#define FILE_READ_ONLY_DEVICE 0x00000002
#define FILE_REMOTE_DEVICE 0x00000010
#define FILE_DEVICE_IS_MOUNTED 0x00000020

// File system attributes of FileFsAttributeInformation (and of GetVolumeInformationW).
#ifndef FILE_CASE_SENSITIVE_SEARCH
#define FILE_CASE_SENSITIVE_SEARCH 0x00000001
#define FILE_CASE_PRESERVED_NAMES 0x00000002
#define FILE_UNICODE_ON_DISK 0x00000004
#endif

typedef struct _FILE_FS_VOLUME_INFORMATION {
  LARGE_INTEGER VolumeCreationTime;
  ULONG VolumeSerialNumber;
  ULONG VolumeLabelLength;  // bytes
  BOOLEAN SupportsObjects;
  WCHAR VolumeLabel[1];
} FILE_FS_VOLUME_INFORMATION, *PFILE_FS_VOLUME_INFORMATION;
static_assert(offsetof(FILE_FS_VOLUME_INFORMATION, VolumeSerialNumber) == 8);
static_assert(offsetof(FILE_FS_VOLUME_INFORMATION, VolumeLabel) == 18);
static_assert(sizeof(FILE_FS_VOLUME_INFORMATION) == 24);

typedef struct _FILE_FS_ATTRIBUTE_INFORMATION {
  ULONG FileSystemAttributes;
  LONG MaximumComponentNameLength;
  ULONG FileSystemNameLength;  // bytes
  WCHAR FileSystemName[1];
} FILE_FS_ATTRIBUTE_INFORMATION, *PFILE_FS_ATTRIBUTE_INFORMATION;
static_assert(offsetof(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName) == 12);
static_assert(sizeof(FILE_FS_ATTRIBUTE_INFORMATION) == 16);

typedef struct _FILE_FS_DEVICE_INFORMATION {
  ULONG DeviceType;
  ULONG Characteristics;
} FILE_FS_DEVICE_INFORMATION, *PFILE_FS_DEVICE_INFORMATION;
static_assert(sizeof(FILE_FS_DEVICE_INFORMATION) == 8);

typedef struct _FILE_FS_SIZE_INFORMATION {
  LARGE_INTEGER TotalAllocationUnits;
  LARGE_INTEGER AvailableAllocationUnits;
  ULONG SectorsPerAllocationUnit;
  ULONG BytesPerSector;
} FILE_FS_SIZE_INFORMATION, *PFILE_FS_SIZE_INFORMATION;
static_assert(sizeof(FILE_FS_SIZE_INFORMATION) == 24);
