// The calling thread's last Win32 error.
#include <windows.h>

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
}

DWORD GetLastError() { return lastError; }

VOID SetLastError(DWORD errorCode) { lastError = errorCode; }
