// What hostfs reports about one file, in the units of the NT information records.
#pragma once

#include <ntifs.h>

namespace nb::hostfs {

struct FileFacts {
  LONGLONG creationTime = 0;  // 100-nanosecond intervals since 1601-01-01 UTC
  LONGLONG lastAccessTime = 0;
  LONGLONG lastWriteTime = 0;
  LONGLONG changeTime = 0;
  LONGLONG endOfFile = 0;  // 0 for directories
  LONGLONG allocationSize = 0;
  ULONG attributes = 0;  // FILE_ATTRIBUTE_*
  ULONG links = 1;
  ULONGLONG fileId = 0;
  bool directory = false;
  ULONG mode = 0;  // the POSIX type and permission bits
  ULONG uid = 0;
  ULONG gid = 0;
  ULONG deviceMajor = 0;  // of a device node
  ULONG deviceMinor = 0;
};

}  // namespace nb::hostfs
