// openat2 with RESOLVE_BENEATH, for every open of a host path below a root descriptor.
#include "nb/posix/open_beneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace nb::posix {

int OpenBeneath(int rootFd, const std::string& relative, int flags, mode_t mode) {
  const char* name = relative.empty() ? "." : relative.c_str();
  // openat2 refuses flags that mean nothing to an O_PATH open.
  if (!(flags & O_PATH)) flags |= O_NOCTTY;
  open_how how{};
  how.flags = static_cast<unsigned long long>(flags | O_CLOEXEC);
  how.mode = (flags & O_CREAT) ? mode : 0;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  long fd;
  do {
    fd = syscall(SYS_openat2, rootFd, name, &how, sizeof how);
  } while (fd < 0 && errno == EINTR);
  return fd < 0 ? -errno : static_cast<int>(fd);
}

}  // namespace nb::posix
