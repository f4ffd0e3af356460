// Mounts left behind by a host that ended without unmounting: the kernel answers every
// request on them with ENOTCONN, which both finds them and shows they fail closed.
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <cerrno>

#include "nb/fuse/volume_mount.h"

namespace nb::fuse {

// statfs, unlike stat, always asks the server: a dead mount's root attributes may still
// be kept by the kernel for a moment.
bool IsStaleMount(const std::string& path) {
  struct statfs st {};
  return statfs(path.c_str(), &st) != 0 && errno == ENOTCONN;
}

bool ClearStaleMount(const std::string& path) {
  if (!IsStaleMount(path)) return false;
  return umount2(path.c_str(), MNT_DETACH) == 0;
}

}  // namespace nb::fuse
