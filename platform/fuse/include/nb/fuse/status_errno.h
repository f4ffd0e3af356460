// The errno a POSIX caller gets for a request that failed with an NTSTATUS.
#pragma once

#include <ntifs.h>

namespace nb::fuse {

// One table for every status the I/O path can return; anything unlisted is EIO.
int ErrnoFromStatus(NTSTATUS status);

}  // namespace nb::fuse
