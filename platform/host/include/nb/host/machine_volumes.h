// The volumes of a machine: the volume manager with hostfs to mount host folders, and the
// administration that the machine's requests reach (kernel::VolumeService). Volumes added
// through the administration are recorded in the hive and come back at the next boot with
// the same serials; the in-process test machine adds its volumes straight, unrecorded.
#pragma once

#include <memory>
#include <mutex>
#include <set>
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

// What serves present volumes to the machine's processes (nbhost's FUSE mounts). Serve
// is called once a volume is up and answers where processes now reach it (empty: at its
// backing folder); Withdraw before the volume goes.
class VolumeFrontEnd {
 public:
  virtual ~VolumeFrontEnd() = default;
  virtual std::string Serve(const kernel::VolumeInfo& volume) = 0;
  virtual void Withdraw(char letter) = 0;
  // Before a recorded volume comes back at boot: clears what a host that died left at the
  // mount point `point` it recorded (its backing folder when overmounted), so that the
  // folder can be opened again.
  virtual void Reclaim(const std::string& point) = 0;
};

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

  // Volumes that come from now on are served by `frontEnd` (null: by none), which must
  // stay until WithdrawAll. Volumes present already are not served.
  void SetFrontEnd(VolumeFrontEnd* frontEnd);
  // Withdraws every served volume and forgets the front end: at shutdown, before the
  // drivers of the volumes' stacks unload.
  void WithdrawAll();

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
  // mutex_ held: the front end serves the present volume of `letter`, or stops serving it.
  void ServeLocked(char letter);
  void WithdrawLocked(char letter);

  kernel::Kernel& kernel_;
  std::unique_ptr<kernel::VolumeManager> manager_;
  PDRIVER_OBJECT hostFs_ = nullptr;
  std::mutex mutex_;  // one administration at a time
  VolumeFrontEnd* frontEnd_ = nullptr;  // guarded by mutex_
  std::set<char> served_;               // letters the front end serves; guarded by mutex_
};

}  // namespace nb::host
