// Drive-level calls: version, volume flush, drive registration and drive locks, and the
// drive and entry tables.
#include <cstring>

#include "arguments.h"
#include "control_device.h"
#include "nbclient.h"
#include "print.h"

using namespace nbclient;

int GetVersion(ULONG* version) {
  return NbfsRequest({u"GetVersion", kCannotOpneNbDevice}, GET_VERSION, nullptr, 0, version, sizeof(ULONG));
}

int NB_INT_FlushVolume(WCHAR letter) {
  WCHAR volume[] = u"\\\\.\\a:";
  volume[4] = letter;
  HANDLE handle = CreateFileW(volume, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    Print(u"NB_INT_FlushVolume: cannot open volume(%s), err=%d\n", volume, static_cast<int>(GetLastError()));
    return NB_ERROR_OPEN_DEVICE;
  }
  if (!FlushFileBuffers(handle)) {
    DWORD error = GetLastError();
    CloseHandle(handle);
    Print(u"NB_INT_FlushVolume: cannot flush volume(%s), err=%d\n", volume, static_cast<int>(error));
    return NB_ERROR_FLUSH_VOLUME;
  }
  CloseHandle(handle);
  return NB_SUCCESS;
}

int RegisterDrive(WCHAR letter) {
  if (!IsValidDrive(letter)) {
    Print(u"RegisterDrive: invalid Drive(%c)\n", letter);
    return NB_ERROR_INVALID;
  }
  NBFS_ENTRY entry = MakeEntry(letter, nullptr, 0, 0);
  return NbfsRequest({u"RegisterDrive", kCannotOpneNbDevice}, ADD_SERVICE, &entry, sizeof entry);
}

int LockDrive(WCHAR letter, ULONG type, ULONG timeout) {
  if (!IsValidLockType(type)) {
    Print(u"LockDrive: invalid LockType(%d)\n", static_cast<int>(type));
    return NB_ERROR_INVALID;
  }
  if (!IsValidDrive(letter)) {
    Print(u"LockDrive: invalid Drive(%c)\n", letter);
    return NB_ERROR_INVALID;
  }
  if (int flushed = NB_INT_FlushVolume(letter)) {
    Print(u"LockDrive: cannot flush volume\n");
    return flushed;
  }
  NBFS_ENTRY entry = MakeEntry(letter, nullptr, type, timeout);
  return NbfsRequest({u"LockDrive", kCannotOpneNbDevice}, ADD_SERVICE, &entry, sizeof entry);
}

int UnlockDrive(WCHAR letter) {
  if (!IsValidDrive(letter)) {
    Print(u"UnlockDrive: invalid Drive(%c)\n", letter);
    return NB_ERROR_INVALID;
  }
  NBFS_ENTRY entry = MakeEntry(letter, nullptr);
  return NbfsRequest({u"UnlockDrive", kCannotOpneNbDevice}, DEL_SERVICE, &entry, sizeof entry);
}

int GetDriveInformation(void* buffer, ULONG size) {
  if (!buffer || size < kDriveTableBytes) {
    Print(u"GetDriveInformation: invalid Buffer\n");
    return NB_ERROR_INVALID;
  }
  std::memset(buffer, 0, size);
  return NbfsRequest({u"GetDriveInformation", kCannotOpneNbDevice, u"GET_DRIVE_INFO ioctl failed"}, GET_DRIVE_INFO,
                     buffer, size, buffer, size);
}

int GetEntryCountInDrive(WCHAR letter, ULONG* count) {
  if (!IsValidDrive(letter)) {
    Print(u"GetEntryCountInDrive: invalid Drive(%c)\n", letter);
    return NB_ERROR_INVALID;
  }
  if (!count) {
    Print(u"GetEntryCountInDrive: invalid buffer\n");
    return NB_ERROR_INVALID;
  }
  UCHAR wire = static_cast<UCHAR>(letter);
  return NbfsRequest({u"GetEntryCountInDrive", kCannotOpneNbDevice}, GET_ENTRY_COUNT_IN_DRIVE, &wire, 1, count,
                     sizeof(ULONG));
}

int GetEntryInfoInDrive(WCHAR letter, void* buffer, ULONG size) {
  if (!IsValidDrive(letter)) {
    Print(u"GetEntryInfoInDrive: invalid Drive(%c)\n", letter);
    return NB_ERROR_INVALID;
  }
  if (!buffer) {
    Print(u"GetEntryInfoInDrive: invalid buffer\n");
    return NB_ERROR_INVALID;
  }
  UCHAR wire = static_cast<UCHAR>(letter);
  return NbfsRequest({u"GetEntryInfoInDrive", kCannotOpneNbDevice}, GET_ENTRY_INFO_IN_DRIVE, &wire, 1, buffer,
                     size);
}
