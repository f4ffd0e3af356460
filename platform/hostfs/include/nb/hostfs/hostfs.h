// hostfs: the file system driver that serves volumes backed by host folders.
#pragma once

#include <ntifs.h>

namespace nb::hostfs {

inline constexpr const char16_t* kDriverName = u"\\FileSystem\\hostfs";
// Control devices: one mounts fixed volumes, the other removable ones
// (storage devices with FILE_REMOVABLE_MEDIA).
inline constexpr const char16_t* kFixedControlName = u"\\Ntfs";
inline constexpr const char16_t* kRemovableControlName = u"\\Fat";

// The extension of a storage device that hostfs recognises in a mount request: the
// device's creator fills it and owns the descriptor; the mount takes its own copy.
inline constexpr ULONG kHostStorageSignature = 0x74736f48;  // "Host"
struct HostStorage {
  ULONG signature;      // kHostStorageSignature
  int directoryFd;      // the backing folder (any open mode, O_PATH will do)
  ULONG serialNumber;   // reported in the volume's VPB
};

NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

}  // namespace nb::hostfs
