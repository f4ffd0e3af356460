// hostfs: the file system driver that serves volumes backed by host folders.
#pragma once

#include <ntifs.h>

#include "nb/kernel/volumes.h"

namespace nb::hostfs {

inline constexpr const char16_t* kDriverName = u"\\FileSystem\\hostfs";
// Control devices: one mounts fixed volumes, the other removable ones
// (storage devices with FILE_REMOVABLE_MEDIA).
inline constexpr const char16_t* kFixedControlName = u"\\Ntfs";
inline constexpr const char16_t* kRemovableControlName = u"\\Fat";

// The extension of a storage device that hostfs recognises in a mount request: the
// volume manager's host medium (nb/kernel/volumes.h). Its creator owns the descriptor;
// the mount takes its own copy.
inline constexpr ULONG kHostStorageSignature = kernel::kHostMediumSignature;
using HostStorage = kernel::HostMedium;

NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

}  // namespace nb::hostfs
