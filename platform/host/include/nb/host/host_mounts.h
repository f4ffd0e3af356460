// nbhost's FUSE mounts: each present volume served at its mount point, so that every
// process on the system reaches the drive through the volume's device stack. Where FUSE
// cannot serve (no /dev/fuse, not root, a mount that fails) the reason is logged and the
// drive stays reached at its backing folder.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "nb/fuse/volume_mount.h"
#include "nb/host/machine_volumes.h"
#include "nb/kernel/kernel.h"

namespace nb::host {

// The mount points of the volumes nbhost serves ("fuse.nimbra"), as a mountinfo text
// (/proc/self/mountinfo) lists them, octal escapes undone.
std::vector<std::string> NimbraMountsIn(std::string_view mountinfo);
// The same for this process's mount namespace now.
std::vector<std::string> NimbraMounts();
// Whether `path` is one of them.
bool IsNimbraMount(const std::string& path);
// Detaches the mounts below `folder` that a host which died left behind (their requests
// fail with ENOTCONN); answers the points cleared.
std::vector<std::string> ClearStaleMountsBelow(const std::string& folder);

class HostMounts final : public VolumeFrontEnd {
 public:
  // Default mount points go below `mountRoot` (root/mnt), one folder per drive letter.
  HostMounts(kernel::Kernel& kernel, std::string mountRoot);
  ~HostMounts() override;
  HostMounts(const HostMounts&) = delete;
  HostMounts& operator=(const HostMounts&) = delete;

  // Mounts the volume at its mount path (its backing folder when overmounted), else at
  // mountRoot/<letter in lower case>, made when missing. Empty when it is not mounted.
  std::string Serve(const kernel::VolumeInfo& volume) override;
  void Withdraw(char letter) override;
  void Reclaim(const std::string& point) override;

  // Where a volume is mounted by default.
  static std::string DefaultMountPoint(const std::string& mountRoot, char letter);

 private:
  kernel::Kernel& kernel_;
  std::string mountRoot_;
  std::mutex mutex_;
  std::map<char, std::unique_ptr<fuse::VolumeMount>> mounts_;  // guarded by mutex_
};

}  // namespace nb::host
