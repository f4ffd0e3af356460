// The volumes a machine keeps, as records in its hive below
// HKLM\SYSTEM\Nimbra\Volumes: one key per volume, named by its serial in eight
// hexadecimal digits, holding Letter (REG_SZ), Type (REG_DWORD: 0 fixed, 1 removable),
// Folder (REG_SZ, the backing folder), MountPoint (REG_SZ, empty for the default),
// Overmount (REG_DWORD) and Present (REG_DWORD: 0 once ejected).
#pragma once

#include <string>
#include <vector>

#include <ntifs.h>

#include "nb/kernel/registry.h"
#include "nb/kernel/volumes.h"

namespace nb::host {

inline constexpr std::u16string_view kVolumesKey = u"SYSTEM\\Nimbra\\Volumes";

struct VolumeRecord {
  char letter = 0;
  kernel::VolumeType type = kernel::VolumeType::kFixed;
  ULONG serial = 0;
  std::string folder;
  std::string mountPath;
  bool overmount = false;
  bool present = true;
};

// Every whole record, in serial order; a key missing a value or holding a bad one (left
// by a host that died while writing it, or by hand) is skipped.
[[nodiscard]] NTSTATUS ReadVolumeRecords(kernel::RegistryHive& hive, std::vector<VolumeRecord>* records);
// Writes the record (made or replaced) under its serial's key.
[[nodiscard]] NTSTATUS WriteVolumeRecord(kernel::RegistryHive& hive, const VolumeRecord& record);

}  // namespace nb::host
