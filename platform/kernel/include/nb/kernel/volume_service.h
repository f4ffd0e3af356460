// The administration of a machine's volumes as requests reach it: the drive table, and
// volumes added, ejected and inserted. The kernel only knows the interface; whoever owns
// the machine's volumes (the host, the in-process test machine) installs one in its kernel.
#pragma once

#include <string>
#include <vector>

#include <ntifs.h>

#include "nb/kernel/volumes.h"

namespace nb::kernel {

// The volumes a machine keeps, present and ejected alike (the protocol's kMaxVolumes), and
// the longest host path of one (kMaxVolumePathBytes).
inline constexpr size_t kMaxMachineVolumes = 48;
inline constexpr size_t kMaxVolumePathBytes = 1024;

// A volume the machine keeps: present, or ejected and recorded for its insertion.
struct VolumeDescription {
  char letter = 0;
  VolumeType type = VolumeType::kFixed;
  ULONG serial = 0;
  bool present = false;
  bool overmount = false;
  std::string folder;        // the backing folder
  std::string mountPath;     // the recorded mount point, empty for the default
  std::string accessFolder;  // where processes reach its files now (AccessFolderOf)
};

struct VolumeAddition {
  char letter = 0;
  bool removable = false;
  bool hasSerial = false;  // else a serial is made up, once
  ULONG serial = 0;
  bool overmount = false;
  std::string folder;
  std::string mountPath;
};

class VolumeService {
 public:
  virtual ~VolumeService() = default;
  // Every volume, in letter order (present ones first for a letter).
  virtual std::vector<VolumeDescription> Describe() = 0;
  // STATUS_INVALID_PARAMETER (letter, folder not absolute, serial 0), STATUS_NAME_TOO_LONG,
  // STATUS_OBJECT_NAME_COLLISION (letter in use), STATUS_OBJECT_PATH_NOT_FOUND (folder
  // missing or no folder), STATUS_DUPLICATE_OBJECTID (serial of another volume),
  // STATUS_SHARING_VIOLATION (folder of another volume), STATUS_INSUFFICIENT_RESOURCES
  // (too many volumes).
  [[nodiscard]] virtual NTSTATUS Add(const VolumeAddition& addition, ULONG* serial) = 0;
  // STATUS_NO_SUCH_DEVICE when no present volume has the letter, STATUS_INVALID_DEVICE_REQUEST
  // for the system drive.
  [[nodiscard]] virtual NTSTATUS Eject(char letter) = 0;
  // `letter` 0 takes the recorded one. STATUS_NOT_FOUND when no volume has the folder,
  // STATUS_INVALID_DEVICE_STATE when it is present already, and Add's statuses.
  [[nodiscard]] virtual NTSTATUS Insert(const std::string& folder, char letter, char* inserted, ULONG* serial) = 0;
};

}  // namespace nb::kernel
