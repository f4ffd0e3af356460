// The driver client library: one call per control request of the nbfs filter driver, and
// the calls of the removable-device driver nbdv. Every call opens the driver's control
// device, sends its request(s), closes the device and returns a result code; failures
// (and some successes) print one line to standard output. The library keeps no state.
#pragma once

#include <windows.h>

#include "nbdvctl.h"  // NBDV_DEVICE
#include "nbfsctl.h"  // NBFS_DRIVE, NBFS_ENTRY, NBFS_PROC

// Result codes of the nbfs calls.
inline constexpr int NB_SUCCESS = 0;
inline constexpr int NB_ERROR_FLUSH_VOLUME = -3000;  // the volume could not be flushed
inline constexpr int NB_ERROR_OPEN_DEVICE = -3001;   // the control device (or the volume) could not be opened
inline constexpr int NB_ERROR_IOCTL = -3002;         // a device-control request failed
inline constexpr int NB_ERROR_INVALID = -3003;       // invalid argument
inline constexpr int NB_ERROR_NO_MEMORY = -3004;
inline constexpr int NB_ERROR_DRIVE_LOCKED = -3005;  // the drive is locked as a whole
inline constexpr int NB_ERROR_OPEN_FOLDER = -3007;   // the folder to lock could not be opened

// Result codes of the nbdv calls.
inline constexpr int NBDV_ERROR_NO_DEVICE = -3100;    // no device registered
inline constexpr int NBDV_ERROR_OPEN_DEVICE = -3101;  // the control device could not be opened
inline constexpr int NBDV_ERROR_IOCTL = -3102;        // the request failed
inline constexpr int NBDV_ERROR_INVALID = -3103;      // invalid argument

// Drive letters are valid in A..Z, either case. Paths lie below the drive root, begin
// with "\" and have fewer than 512 characters. "None" for a path is a null pointer.

int GetVersion(ULONG* version);
// Flushes the cached data of a drive's volume ("\\.\X:").
int NB_INT_FlushVolume(WCHAR letter);
int RegisterDrive(WCHAR letter);
int LockDrive(WCHAR letter, ULONG type, ULONG timeout);
int UnlockDrive(WCHAR letter);
// Locks a folder, registering its drive first when the driver does not know it yet.
int LockFolder(WCHAR letter, const WCHAR* path, ULONG type, ULONG timeout);
// Unlocks a folder and unregisters its drive with the drive's last folder.
int UnlockFolder(WCHAR letter, const WCHAR* path);
// Fills `buffer` (at least 26 NBFS_DRIVE records, 312 bytes) with the registered drives.
int GetDriveInformation(void* buffer, ULONG size);
int GetEntryCountInDrive(WCHAR letter, ULONG* count);
int GetEntryInfoInDrive(WCHAR letter, void* buffer, ULONG size);
int SetEntryInfo(WCHAR letter, const WCHAR* path, ULONG type, ULONG timeout);
int Pause(WCHAR letter, const WCHAR* path);
int Resume(WCHAR letter, const WCHAR* path);
int StartTimeOutEntry(WCHAR letter, const WCHAR* path);

int NB_OpenEvent(HANDLE deviceEvent, HANDLE timerEvent);
int NB_CloseEvent();
int NB_CreateEvent(const WCHAR* name);
int NB_RegisterFs();

int NB_RegisterProcess(WCHAR letter, const WCHAR* path, const char* name, ULONG pid, ULONG permission);
int NB_RemoveProcess(WCHAR letter, const WCHAR* path, const char* name, ULONG pid);
int NB_GetProcCount(WCHAR letter, const WCHAR* path, ULONG* count);
int NB_GetProcInfo(WCHAR letter, const WCHAR* path, void* buffer, ULONG size);
int NB_RegisterGlobalProcess(const char* name, ULONG pid, ULONG permission);
int NB_RemoveGlobalProcess(const char* name, ULONG pid);
int NB_GetGlobalProcCount(ULONG* count);
int NB_GetGlobalProcInfo(void* buffer, ULONG size);

int NBDV_AddDevice(WCHAR letter, ULONG serial);
int NBDV_DeleteDevice(WCHAR letter, ULONG serial);
int NBDV_GetDeviceCount(ULONG* count);
// Fills `buffer` with one 8-byte device record per registered device.
int NBDV_GetDeviceInformation(void* buffer, ULONG size);
int NBDV_GetVersion(ULONG* version);
int NBDV_OpenEvent(HANDLE event);
int NBDV_CloseEvent();
