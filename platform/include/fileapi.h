// Win32 file queries on drive paths: attributes, deletion and folder listings. Include
// <windows.h> first.
#pragma once

#include "windows.h"

#ifndef INVALID_FILE_ATTRIBUTES
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)

// A folder is FILE_ATTRIBUTE_DIRECTORY only; a file is FILE_ATTRIBUTE_ARCHIVE, with
// FILE_ATTRIBUTE_READONLY when it cannot be written. INVALID_FILE_ATTRIBUTES with the
// error for a name that cannot be reached.
DWORD GetFileAttributesW(LPCWSTR fileName);
BOOL DeleteFileW(LPCWSTR fileName);

#ifndef _FILETIME_
#define _FILETIME_
typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;
#endif

typedef struct _WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  WCHAR cFileName[MAX_PATH];
  WCHAR cAlternateFileName[14];
} WIN32_FIND_DATAW, *PWIN32_FIND_DATAW, *LPWIN32_FIND_DATAW;
static_assert(sizeof(WIN32_FIND_DATAW) == 592);

// "X:\dir\PATTERN": the entries of the folder whose names match PATTERN ("*" any run,
// "?" one character, "*.*" everything), in the file system's case; "." and ".." are
// listed except in a drive's root. Nothing that matches: ERROR_FILE_NOT_FOUND; a missing
// folder: ERROR_PATH_NOT_FOUND; the end of the listing: ERROR_NO_MORE_FILES.
HANDLE FindFirstFileW(LPCWSTR fileName, LPWIN32_FIND_DATAW findFileData);
BOOL FindNextFileW(HANDLE findFile, LPWIN32_FIND_DATAW findFileData);
BOOL FindClose(HANDLE findFile);
#endif
