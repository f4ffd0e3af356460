// Argument checks and request records of the client calls: plain functions.
#pragma once

#include <windows.h>

#include "nbfsctl.h"

namespace nbclient {

inline constexpr size_t kDriveRecords = 26;
inline constexpr ULONG kDriveTableBytes = kDriveRecords * sizeof(NBFS_DRIVE);  // 312
inline constexpr size_t kMaxPathUnits = NBFS_PATH_UNITS - 1;                   // 511
inline constexpr size_t kMaxEventNameUnits = 63;
inline constexpr ULONG kEventNameBytes = 128;

// True when the letter's upper-case form lies in A..Z.
bool IsValidDrive(WCHAR letter);
WCHAR UpperDrive(WCHAR letter);
// Lock types a caller may ask for: no access, read only, expired.
bool IsValidLockType(ULONG type);
bool IsValidPermission(ULONG permission);
// Length of a path, counted up to NBFS_PATH_UNITS (a longer one reads as that many).
size_t PathUnits(const WCHAR* path);
// A folder path: begins with "\" and is shorter than 512 characters.
bool BeginsWithBackslash(const WCHAR* path);
// The optional path of the pause-like calls: none, or not beginning with "\" (the drive
// itself), or 2 to 511 characters beginning with "\".
bool IsValidOptionalPath(const WCHAR* path);

// An NBFS_ENTRY for a drive and a path; the path is copied only when it begins with "\"
// and is shorter than 512 characters.
NBFS_ENTRY MakeEntry(WCHAR letter, const WCHAR* path, ULONG type = 0, ULONG timeout = 0);
// An NBFS_PROC; the name is cut to its first 15 characters, the path as in MakeEntry.
NBFS_PROC MakeProc(WCHAR letter, const WCHAR* path, const char* name, ULONG pid, ULONG permission);
// The first record (of `count`) whose letter matches, both upper-cased; null when none.
const NBFS_DRIVE* FindDrive(const NBFS_DRIVE* drives, size_t count, WCHAR letter);
// A handle as the u32 the driver protocols carry.
ULONG HandleValue(HANDLE handle);

}  // namespace nbclient
