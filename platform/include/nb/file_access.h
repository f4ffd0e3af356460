// The one generic mapping of file access, used where an open enters the kernel and where
// CreateFileW turns its arguments into a create request.
#pragma once

#include "nb/basetypes.h"

namespace nb {

// Replaces GENERIC_READ, GENERIC_WRITE, GENERIC_EXECUTE and GENERIC_ALL by the file
// rights they stand for; other rights stay.
inline ACCESS_MASK MapGenericFileAccess(ACCESS_MASK desiredAccess) {
  ACCESS_MASK mapped = desiredAccess & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  if (desiredAccess & GENERIC_READ) mapped |= FILE_GENERIC_READ;
  if (desiredAccess & GENERIC_WRITE) mapped |= FILE_GENERIC_WRITE;
  if (desiredAccess & GENERIC_EXECUTE) mapped |= FILE_GENERIC_EXECUTE;
  if (desiredAccess & GENERIC_ALL) mapped |= FILE_ALL_ACCESS;
  return mapped;
}

}  // namespace nb
