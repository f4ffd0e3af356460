// Registry calls of the Win32 subset, served by the machine's hive. Included by windows.h.
// The calls return their error (LSTATUS) and leave the last error alone.
#pragma once

#include "nb/registry_types.h"
#include "windows.h"

typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef ACCESS_MASK REGSAM;
typedef LONG LSTATUS;
typedef BYTE* LPBYTE;

#ifndef _FILETIME_
#define _FILETIME_
typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;
#endif

// The predefined keys: HKEY_CLASSES_ROOT is HKLM\SOFTWARE\Classes, HKEY_CURRENT_USER the
// calling Linux user's key below HKEY_USERS (made on first use), HKEY_CURRENT_CONFIG
// HKLM\SYSTEM\CurrentControlSet\Hardware Profiles\Current. They need no opening and
// RegCloseKey on one does nothing.
#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))
#define HKEY_CURRENT_CONFIG ((HKEY)(ULONG_PTR)((LONG)0x80000005))

// Keys below HKEY_LOCAL_MACHINE are written by root only; a user owns its HKEY_CURRENT_USER.
LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired, PHKEY result);
LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options, REGSAM desired,
                        const LPSECURITY_ATTRIBUTES securityAttributes, PHKEY result, LPDWORD disposition);
LSTATUS RegCloseKey(HKEY key);
// Fails with ERROR_ACCESS_DENIED while the key has subkeys.
LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey);
// Subkeys and values enumerate in name order ignoring case; past the last, ERROR_NO_MORE_ITEMS.
// A name buffer too small gives ERROR_MORE_DATA and leaves its count alone (RegQueryInfoKeyW
// tells the longest name); a data buffer too small gets the size needed.
LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved, LPWSTR keyClass,
                      LPDWORD classLength, PFILETIME lastWriteTime);
LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR valueName, LPDWORD valueNameLength, LPDWORD reserved,
                      LPDWORD type, LPBYTE data, LPDWORD dataLength);
// Keys have no class here: it comes back empty.
LSTATUS RegQueryInfoKeyW(HKEY key, LPWSTR keyClass, LPDWORD classLength, LPDWORD reserved, LPDWORD subKeys,
                         LPDWORD maxSubKeyLength, LPDWORD maxClassLength, LPDWORD values,
                         LPDWORD maxValueNameLength, LPDWORD maxValueLength, LPDWORD securityDescriptorLength,
                         PFILETIME lastWriteTime);
// Null data asks for the size only; a buffer too small gives ERROR_MORE_DATA with the size
// needed. Strings come back as stored, with their terminator when the writer stored one.
LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD dataLength);
LSTATUS RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data, DWORD dataLength);
LSTATUS RegDeleteValueW(HKEY key, LPCWSTR valueName);
