// The volume manager: drives come and go as storage devices with a medium (a host
// folder), mounted through the registered file systems, known to the mount manager by
// drive letter and volume name, and announced as volume interfaces.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <ntifs.h>

#include "nb/kernel/mount_points.h"

namespace nb::kernel {

class Kernel;

enum class VolumeType { kFixed, kRemovable, kRemote, kCdRom };

// The extension of a storage device whose medium is a host folder; a file system that
// serves host folders recognises it by the signature. A medium that has gone away has
// signature 0.
inline constexpr ULONG kHostMediumSignature = 0x74736f48;  // "Host"
struct HostMedium {
  ULONG signature;
  int directoryFd;     // the backing folder, opened O_PATH; the volume manager owns it
  ULONG serialNumber;  // what the file system reports in the volume's VPB
};

struct VolumeParameters {
  char letter = 0;  // A..Z, either case
  VolumeType type = VolumeType::kFixed;
  ULONG serial = 0;        // 0: one is made up from the volume's number
  std::string hostFolder;  // the medium (not for remote drives)
  // Where processes are to see the drive once volumes are mounted for them; empty: the
  // machine's default. Overmounting gives the backing folder itself.
  std::string mountPath;
  // Remote drives: the share the letter stands for, "\server\share".
  std::u16string share = u"\\server\\share";
};

struct VolumeInfo {
  char letter;
  VolumeType type;
  ULONG serial;
  std::u16string deviceName;  // "\Device\HarddiskVolume1", "\Device\CdRom0", the redirector path
  std::u16string volumeName;  // "\??\Volume{...}", empty for remote drives
  bool mounted;               // a file system took the medium
  PDEVICE_OBJECT storage;     // null for remote drives
  std::string hostFolder;     // the medium, empty for remote drives
  std::string mountPath;      // as the volume was added with
  std::string servedAt;       // where a front end serves the volume now; empty when none does
};

// The host folder in which processes reach a drive's files: the one place that decides
// it. A volume a front end serves is reached at its mount, through the volume's device
// stack; one that no front end serves (none runs, or mounting failed) at its backing
// folder, unfiltered. Empty for drives with no folder (remote drives).
std::string AccessFolderOf(const VolumeInfo& volume);

class VolumeManager {
 public:
  // Creates the storage driver and the mount manager device ("\Device\MountPointManager",
  // linked as "\DosDevices\MountPointManager") in `kernel`.
  explicit VolumeManager(Kernel& kernel);
  // Removes every volume still present (its file system dismounts it), then deletes the
  // devices and frees what the volumes held.
  ~VolumeManager();
  VolumeManager(const VolumeManager&) = delete;
  VolumeManager& operator=(const VolumeManager&) = delete;

  // A volume arrives: a storage device of its type ("\Device\HarddiskVolumeN" for disks,
  // "\Device\CdRomN" for CD-ROMs), mounted by the first registered file system of the
  // matching kind that recognises its medium (IRP_MN_MOUNT_VOLUME through any
  // file-system filters); its drive letter and volume name ("\DosDevices\X:" and
  // "\??\Volume{...}"); then the volume interface is enabled. A medium that no file system
  // recognises still gets its letter, as an empty CD drive does. A remote drive is a
  // letter for a share of the network redirector ("\Device\LanmanRedirector"), unknown
  // to the mount manager. Fails with STATUS_OBJECT_NAME_COLLISION for a letter in use,
  // STATUS_INVALID_PARAMETER for a bad letter, STATUS_OBJECT_PATH_NOT_FOUND for a
  // folder that cannot be opened.
  [[nodiscard]] NTSTATUS AddVolume(const VolumeParameters& parameters, PDEVICE_OBJECT* storage = nullptr);
  // The medium of a drive goes away: the letter and volume name go, its file system gets
  // IRP_MJ_PNP/IRP_MN_SURPRISE_REMOVAL at the top of the volume's stack and dismounts it
  // (filters attached above are told by FastIoDetachDevice), and the volume interface is
  // disabled. STATUS_NO_SUCH_DEVICE when no volume has the letter.
  [[nodiscard]] NTSTATUS RemoveVolume(char letter);
  // Where a front end now serves the present volume of `letter` (empty: none does any
  // more). It is forgotten with the volume. STATUS_NO_SUCH_DEVICE when no volume has the
  // letter.
  [[nodiscard]] NTSTATUS SetServedAt(char letter, const std::string& mountPoint);

  std::vector<VolumeInfo> Volumes() const;
  // The mount points the mount manager reports: per present volume, its volume name and
  // its drive letter.
  std::vector<MountPoint> MountPoints() const;

 private:
  struct Volume;
  Volume* FindPresent(char letter) const;  // mutex_ held
  std::u16string NextDeviceName(const char16_t* prefix, int* number);
  [[nodiscard]] NTSTATUS CreateStorage(Volume& volume, const VolumeParameters& parameters);
  [[nodiscard]] NTSTATUS AddRemote(const VolumeParameters& parameters);
  void Mount(Volume& volume);
  void Dismount(Volume& volume);

  Kernel& kernel_;
  PDRIVER_OBJECT storageDriver_ = nullptr;
  PDRIVER_OBJECT mountManagerDriver_ = nullptr;
  PDEVICE_OBJECT redirector_ = nullptr;
  std::mutex changeMutex_;    // one arrival or removal at a time; taken before mutex_
  mutable std::mutex mutex_;  // guards volumes_ and the numbering
  std::vector<std::unique_ptr<Volume>> volumes_;  // removed ones too: open files still name them
  int nextDisk_ = 1;
  int nextCdRom_ = 0;
  int nextVolume_ = 1;
};

}  // namespace nb::kernel
