// The volumes of a machine: the volume manager with hostfs to mount host folders, and the
// administration that the machine's requests reach (kernel::VolumeService). Volumes added
// through the administration are recorded in the hive and come back at the next boot with
// the same serials; the in-process test machine adds its volumes straight, unrecorded.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <ntifs.h>

#include "nb/kernel/kernel.h"
#include "nb/kernel/volume_service.h"
#include "nb/kernel/volumes.h"

namespace nb::host {

// The folders of drive C: that the machine's environment names (the Windows folder and
// its TEMP, Program Files and Common Files, All Users), and each profile's Recent folder
// under Documents and Settings: relative host paths, parents before children.
std::vector<std::string> SystemTreeFolders(const std::vector<std::string>& profileNames);

class MachineVolumes final : public kernel::VolumeService {
 public:
  // Creates the volume manager in `kernel` and installs this as its volume service.
  explicit MachineVolumes(kernel::Kernel& kernel);
  // Uninstalls the service (waiting for requests using it), removes every volume, then
  // unloads hostfs.
  ~MachineVolumes() override;
  MachineVolumes(const MachineVolumes&) = delete;
  MachineVolumes& operator=(const MachineVolumes&) = delete;

  kernel::VolumeManager& Manager() { return *manager_; }

  // Loads hostfs (its "\Ntfs" and "\Fat"); a second call does nothing.
  [[nodiscard]] NTSTATUS LoadHostFs();
  // A volume through the volume manager, hostfs loaded first; not recorded.
  [[nodiscard]] NTSTATUS AddVolume(const kernel::VolumeParameters& parameters, PDEVICE_OBJECT* storage = nullptr);

  // Brings back the volumes recorded as present. A hive with no volume (first boot) gets
  // drive C:, fixed, backed by volumesRoot/<serial>. C: gets the folders of
  // SystemTreeFolders where they are missing; a profile's folders go to its owner when
  // `profileOwners` names one (uid, gid; -1 keeps root). A volume that cannot come back
  // is described in `problems` and the rest still come.
  struct Profile {
    std::string name;
    int uid = -1;
    int gid = -1;
  };
  [[nodiscard]] NTSTATUS Restore(const std::string& volumesRoot, const std::vector<Profile>& profiles,
                                 std::vector<std::string>* problems);

  std::vector<kernel::VolumeDescription> Describe() override;
  [[nodiscard]] NTSTATUS Add(const kernel::VolumeAddition& addition, ULONG* serial) override;
  [[nodiscard]] NTSTATUS Eject(char letter) override;
  [[nodiscard]] NTSTATUS Insert(const std::string& folder, char letter, char* inserted, ULONG* serial) override;

 private:
  [[nodiscard]] NTSTATUS AddLocked(const kernel::VolumeAddition& addition, ULONG* serial);

  kernel::Kernel& kernel_;
  std::unique_ptr<kernel::VolumeManager> manager_;
  PDRIVER_OBJECT hostFs_ = nullptr;
  std::mutex mutex_;  // one administration at a time
};

}  // namespace nb::host
