// Folder locks and the calls that change a lock's state: lock, unlock, set, pause,
// resume and the restart of an expired time-out.
#include <memory>
#include <new>
#include <string>

#include "arguments.h"
#include "control_device.h"
#include "nb/text.h"
#include "nbclient.h"
#include "print.h"

using namespace nbclient;

namespace {

// The pause-like calls share their checks and differ in messages and flushing.
struct StateCall {
  CallTexts texts;
  const char16_t* invalidDrive;
  const char16_t* invalidPath;
  const char16_t* cannotFlush;  // null: the call does not flush
  ULONG code;
};

int RunStateCall(const StateCall& call, WCHAR letter, const WCHAR* path) {
  if (!IsValidDrive(letter)) {
    Print(call.invalidDrive, letter);
    return NB_ERROR_INVALID;
  }
  if (!IsValidOptionalPath(path)) {
    Print(call.invalidPath, path);
    return NB_ERROR_INVALID;
  }
  if (call.cannotFlush) {
    if (int flushed = NB_INT_FlushVolume(letter)) {
      Print(call.cannotFlush);
      return flushed;
    }
  }
  NBFS_ENTRY entry = MakeEntry(letter, path);
  return NbfsRequest(call.texts, call.code, &entry, sizeof entry);
}

}  // namespace

int LockFolder(WCHAR letter, const WCHAR* path, ULONG type, ULONG timeout) {
  if (!IsValidLockType(type)) {
    Print(u"LockFolder: invalid LockType(%d)\n", static_cast<int>(type));
    return NB_ERROR_INVALID;
  }
  if (!IsValidDrive(letter)) {
    Print(u"LockFolder: invalid Drive(%c)\n", letter);
    return NB_ERROR_INVALID;
  }
  if (!path) {
    Print(u"LockFolder: invalid path; path is NULL\n");
    return NB_ERROR_INVALID;
  }
  if (!BeginsWithBackslash(path)) {
    Print(u"LockFolder: invalid path name(%s)\n", path);
    return NB_ERROR_INVALID;
  }
  if (PathUnits(path) > kMaxPathUnits) {
    Print(u"LockFolder: Path(%s) is too long\n", path);
    return NB_ERROR_INVALID;
  }
  if (int flushed = NB_INT_FlushVolume(letter)) {
    Print(u"LockFolder: cannot flush volume\n");
    return flushed;
  }
  // The folder must exist: open it once and let it go.
  std::u16string folder = nb::text::FormatWide(u"%c:%s", letter, path);
  HANDLE handle = CreateFileW(folder.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    Print(u"LockFolder: cannot open folder(%s)\n", folder.c_str());
    return NB_ERROR_OPEN_FOLDER;
  }
  CloseHandle(handle);

  std::unique_ptr<NBFS_DRIVE[]> drives(new (std::nothrow) NBFS_DRIVE[kDriveRecords]());
  if (!drives) {
    Print(u"LockFolder: cannot alloc buffer\n");
    return NB_ERROR_NO_MEMORY;
  }
  const CallTexts texts{u"LockFolder", kCannotOpneNbDevice};
  ControlDevice device(NBFS_USER_DEVICE_NAME);
  if (!OpenNbfs(device, texts)) return NB_ERROR_OPEN_DEVICE;
  if (!device.Control(GET_DRIVE_INFO, drives.get(), kDriveTableBytes, drives.get(), kDriveTableBytes)) {
    Print(u"LockFolder: GET_DRIVE_INFO ioctl failed\n");
    return NB_ERROR_IOCTL;
  }
  // A registered drive without a drive-wide lock takes folder locks; an unknown drive is
  // registered here, and unregistered again if the folder lock cannot be added.
  bool registeredHere = false;
  if (const NBFS_DRIVE* drive = FindDrive(drives.get(), kDriveRecords, letter)) {
    if (drive->timeout != 0 || drive->flags != 0) {
      Print(u"LockFolder: Drive(%c) is Locking Mode\n", letter);
      return NB_ERROR_DRIVE_LOCKED;
    }
  } else {
    if (int registered = RegisterDrive(letter)) {
      Print(u"LockFolder: cannot register Drive(%c)\n", letter);
      return registered;
    }
    registeredHere = true;
  }
  NBFS_ENTRY entry = MakeEntry(letter, path, type, timeout);
  if (!device.Control(ADD_ENTRY, &entry, sizeof entry, nullptr, 0)) {
    Print(u"LockFolder: ADD_ENTRY ioctl failed\n");
    if (registeredHere && UnlockDrive(letter) != NB_SUCCESS) {
      Print(u"LockFolder: cannot unlock drive(letter=%c)\n", letter);
    }
    return NB_ERROR_IOCTL;
  }
  Print(u"LockFolder: Locking %c:%s (Lock=0x%x, time=0x%x) is success\n", letter, path, type, timeout);
  return NB_SUCCESS;
}

int UnlockFolder(WCHAR letter, const WCHAR* path) {
  if (!IsValidDrive(letter)) {
    Print(u"UnlockFolder: invalid Drive(%c)\n", letter);
    return NB_ERROR_INVALID;
  }
  if (!path) {
    Print(u"UnlockFolder: invalid path; path is NULL\n");
    return NB_ERROR_INVALID;
  }
  if (!BeginsWithBackslash(path)) {
    Print(u"UnlockFolder: invalid path name(%s)\n", path);
    return NB_ERROR_INVALID;
  }
  if (PathUnits(path) > kMaxPathUnits) {
    Print(u"UnlockFolder: Path(%s) is too long\n", path);
    return NB_ERROR_INVALID;
  }
  const CallTexts texts{u"UnlockFolder", kCannotOpneNbDevice};
  ControlDevice device(NBFS_USER_DEVICE_NAME);
  if (!OpenNbfs(device, texts)) return NB_ERROR_OPEN_DEVICE;
  NBFS_ENTRY entry = MakeEntry(letter, path);
  if (!device.Control(DEL_ENTRY, &entry, sizeof entry, nullptr, 0)) {
    Print(u"UnlockFolder: DEL_ENTRY ioctl failed\n");
    return NB_ERROR_IOCTL;
  }
  Print(u"UnlockFolder: Locking %c:%s is success\n", letter, path);

  UCHAR wire = static_cast<UCHAR>(letter);
  ULONG count = 0;
  if (!device.Control(GET_ENTRY_COUNT_IN_DRIVE, &wire, 1, &count, sizeof count)) {
    Print(u"UnlockFolder: GET_ENTRY_COUNT_IN_DRIVE ioctl failed\n");
    return NB_ERROR_IOCTL;
  }
  // The drive's last folder lock takes the drive registration with it.
  if (count != 0) {
    Print(u"UnlockFolder: %c have some entry\n", letter);
    return NB_SUCCESS;
  }
  Print(u"UnlockFolder: [%c:] no more entry, Unlock Drive...\n", letter);
  if (UnlockDrive(letter) != NB_SUCCESS) {
    Print(u"UnlockFolder: Unlock Folder success, but Unlock Drive(%c) error\n", letter);
  }
  return NB_SUCCESS;
}

int SetEntryInfo(WCHAR letter, const WCHAR* path, ULONG type, ULONG timeout) {
  if (!IsValidDrive(letter)) {
    Print(u"SetEntryInfo: invalid Drive(%c)\n", letter);
    return NB_ERROR_INVALID;
  }
  if (!IsValidLockType(type)) {
    Print(u"SetEntryInfo: invalid LockType(%d)\n", static_cast<int>(type));
    return NB_ERROR_INVALID;
  }
  if (path) {
    if (!BeginsWithBackslash(path)) {
      Print(u"SetEntryInfo: invalid path name(%s)\n", path);
      return NB_ERROR_INVALID;
    }
    if (PathUnits(path) > kMaxPathUnits) {
      Print(u"SetEntryInfo: Path(%s) is too long\n", path);
      return NB_ERROR_INVALID;
    }
    Print(u"SetEntryInfo: Drive=%c, path=%s\n", letter, path);
  } else {
    Print(u"SetEntryInfo: Drive=%c\n", letter);
  }
  NBFS_ENTRY entry = MakeEntry(letter, path, type, timeout);
  return NbfsRequest({u"SetEntryInfo", kCannotOpneNbDevice}, SET_ENTRY, &entry, sizeof entry);
}

int Pause(WCHAR letter, const WCHAR* path) {
  static const StateCall call{{u"Pause", kCannotOpneNbDevice, u"PAUSE_ENTRY ioctl failed"},
                              u"Pause: invalid Drive(%c)\n", u"Pause: invalid Path(%s)\n", nullptr, PAUSE_ENTRY};
  return RunStateCall(call, letter, path);
}

int Resume(WCHAR letter, const WCHAR* path) {
  static const StateCall call{{u"Resume", kCannotOpneNbDevice, u"RESUME_ENTRY ioctl failed"},
                              u"Resume: invalid Drive(%c)\n", u"Resume: invalid Path(%s)\n",
                              u"Resume: cannot flush volume\n", RESUME_ENTRY};
  return RunStateCall(call, letter, path);
}

int StartTimeOutEntry(WCHAR letter, const WCHAR* path) {
  static const StateCall call{{u"StartTimeOutEntry", kCannotOpenNbDevice},
                              u"StartTimeOutEntry: invalid Drive(%c)\n", u"StartTimeOutEntry: invalid Path(%s)\n",
                              u"StartTimeOutEntry: cannot flush volume\n", START_TIMEOUT_ENTRY};
  return RunStateCall(call, letter, path);
}
