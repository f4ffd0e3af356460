// Opening host paths beneath a root descriptor without ever leaving it.
#pragma once

#include <sys/types.h>

#include <string>

namespace nb::posix {

// Opens `relative` ("a/b"; empty or "." for the root itself) below the directory `rootFd`
// with openat2 and RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS: neither ".." nor a symbolic
// link may lead out of it. The descriptor is close-on-exec and never becomes a
// controlling terminal. Returns the descriptor, or -errno with errno set as well.
int OpenBeneath(int rootFd, const std::string& relative, int flags, mode_t mode = 0);

}  // namespace nb::posix
