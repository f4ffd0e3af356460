// Process status calls (PSAPI), exported by the built-in module "PSAPI": found with
// LoadLibraryW and GetProcAddress, or called directly.
#pragma once

#include "windows.h"

#ifndef PROCESS_VM_READ
#define PROCESS_TERMINATE 0x0001
#define PROCESS_VM_READ 0x0010
#define PROCESS_QUERY_INFORMATION 0x0400
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000
#endif

// The ids of the machine's processes (the System process is 4); `*bytesReturned` is the
// bytes stored, so a full buffer may mean more ids are waiting.
BOOL EnumProcesses(DWORD* processIds, DWORD cb, LPDWORD bytesReturned);
// The modules of a process opened with PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, its
// executable first; the values are the modules' base addresses. `*needed` is the bytes
// for all of them.
BOOL EnumProcessModules(HANDLE process, HMODULE* modules, DWORD cb, LPDWORD needed);
// The file name of a module of the process (null: its executable), as a drive path or
// "\\?\unix\..." for a file outside every drive. At most size - 1 characters and the NUL
// are stored (ERROR_INSUFFICIENT_BUFFER when cut); the result is the characters stored.
// ERROR_PARTIAL_COPY once the process has gone.
DWORD GetModuleFileNameExW(HANDLE process, HMODULE module, LPWSTR fileName, DWORD size);
