// Translation of NT statuses and POSIX errno values into Win32 error codes.
#pragma once

#include "nb/basetypes.h"

namespace nb::win {

// The Win32 error GetLastError reports for a failed NT status (the table is in errors.cpp).
DWORD Win32ErrorFromNtStatus(NTSTATUS status);
// The Win32 error for a failed host call on a drive's folder.
DWORD Win32ErrorFromErrno(int error);

}  // namespace nb::win
