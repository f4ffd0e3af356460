// Tool help snapshots of processes and modules, exported by the built-in module
// "Kernel32". Each call has the wide form (...W, PROCESSENTRY32W) and the ANSI form
// (PROCESSENTRY32, names in the ANSI code page), under the names Windows gives them.
#pragma once

#include "windows.h"

#define TH32CS_SNAPHEAPLIST 0x00000001
#define TH32CS_SNAPPROCESS 0x00000002
#define TH32CS_SNAPTHREAD 0x00000004
#define TH32CS_SNAPMODULE 0x00000008
#define TH32CS_SNAPMODULE32 0x00000010
#define TH32CS_INHERIT 0x80000000u
#define MAX_MODULE_NAME32 255

typedef struct tagPROCESSENTRY32W {
  DWORD dwSize;
  DWORD cntUsage;
  DWORD th32ProcessID;
  ULONG_PTR th32DefaultHeapID;
  DWORD th32ModuleID;
  DWORD cntThreads;
  DWORD th32ParentProcessID;
  LONG pcPriClassBase;
  DWORD dwFlags;
  WCHAR szExeFile[MAX_PATH];
} PROCESSENTRY32W, *PPROCESSENTRY32W, *LPPROCESSENTRY32W;

typedef struct tagPROCESSENTRY32 {
  DWORD dwSize;
  DWORD cntUsage;
  DWORD th32ProcessID;
  ULONG_PTR th32DefaultHeapID;
  DWORD th32ModuleID;
  DWORD cntThreads;
  DWORD th32ParentProcessID;
  LONG pcPriClassBase;
  DWORD dwFlags;
  CHAR szExeFile[MAX_PATH];
} PROCESSENTRY32, *PPROCESSENTRY32, *LPPROCESSENTRY32;

typedef struct tagMODULEENTRY32W {
  DWORD dwSize;
  DWORD th32ModuleID;
  DWORD th32ProcessID;
  DWORD GlblcntUsage;
  DWORD ProccntUsage;
  BYTE* modBaseAddr;
  DWORD modBaseSize;
  HMODULE hModule;
  WCHAR szModule[MAX_MODULE_NAME32 + 1];
  WCHAR szExePath[MAX_PATH];
} MODULEENTRY32W, *PMODULEENTRY32W, *LPMODULEENTRY32W;

typedef struct tagMODULEENTRY32 {
  DWORD dwSize;
  DWORD th32ModuleID;
  DWORD th32ProcessID;
  DWORD GlblcntUsage;
  DWORD ProccntUsage;
  BYTE* modBaseAddr;
  DWORD modBaseSize;
  HMODULE hModule;
  CHAR szModule[MAX_MODULE_NAME32 + 1];
  CHAR szExePath[MAX_PATH];
} MODULEENTRY32, *PMODULEENTRY32, *LPMODULEENTRY32;

// The records hold pointers, so their layouts follow the pointer width (the 32-bit ones
// are Windows' own).
static_assert(offsetof(PROCESSENTRY32W, szExeFile) == (sizeof(void*) == 8 ? 44 : 36));
static_assert(sizeof(PROCESSENTRY32W) == (sizeof(void*) == 8 ? 568 : 556));
static_assert(offsetof(MODULEENTRY32W, szModule) == (sizeof(void*) == 8 ? 48 : 32));
static_assert(sizeof(MODULEENTRY32W) == (sizeof(void*) == 8 ? 1080 : 1064));

// TH32CS_SNAPPROCESS: every process of the machine; TH32CS_SNAPMODULE: the modules of
// process `processId` (0: this one), its executable first. INVALID_HANDLE_VALUE with the
// error when the process cannot be read. Closed with CloseHandle.
HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD processId);
// The first and next entries of the snapshot; FALSE with ERROR_NO_MORE_FILES after the
// last, ERROR_BAD_LENGTH when dwSize is smaller than the record.
BOOL Process32FirstW(HANDLE snapshot, LPPROCESSENTRY32W entry);
BOOL Process32NextW(HANDLE snapshot, LPPROCESSENTRY32W entry);
BOOL Process32First(HANDLE snapshot, LPPROCESSENTRY32 entry);
BOOL Process32Next(HANDLE snapshot, LPPROCESSENTRY32 entry);
BOOL Module32FirstW(HANDLE snapshot, LPMODULEENTRY32W entry);
BOOL Module32NextW(HANDLE snapshot, LPMODULEENTRY32W entry);
BOOL Module32First(HANDLE snapshot, LPMODULEENTRY32 entry);
BOOL Module32Next(HANDLE snapshot, LPMODULEENTRY32 entry);
