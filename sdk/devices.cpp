// CVAULTObj removable devices and the trusted processes of drive locks: AddDevice, both
// RemoveDevice forms, GetAddedDevice, CheckAddedDrive, DriveRegister, DriveUnRegister.
#include <cstring>
#include <new>
#include <vector>

#include <windows.h>

#include "NBUtil.h"
#include "VAULTSdk.h"
#include "lock_records.h"

namespace {

// How often a trusted list that changed between its count and its read is read again.
constexpr int kListAttempts = 3;

bool IsRegistered(const _DRIVESERIAL& devices, DWORD serial) {
  for (INT i = 0; i < devices.count && i < static_cast<INT>(DRIVESERIAL_SLOTS); ++i) {
    if (devices.volumeSerial[i] == serial) return true;
  }
  return false;
}

}  // namespace

bool CVAULTObj::AddDevice(_LCK_INFORMAION* lock, bool show, bool* registered) {
  if (registered) *registered = false;
  if (!lock) return false;
  int code = 0;
  if (!::AddDevice(lock->drive, &code)) {
    VAULTMsg(show, code, lock->drive, vault::FieldText(lock->path).value_or(u"").data());
    return false;
  }
  // A volume registered before this call is another lock's too: not this caller's to undo.
  if (registered) *registered = code != ERROR_ALREADY_EXISTS;
  return true;
}

bool CVAULTObj::RemoveDevice(_LCK_INFORMAION* lock, bool show) {
  if (!lock) return false;
  DWORD serial = lock->serial;
  if (serial == 0) GetVolumeSerial(lock->drive, &serial);
  int code = 0;
  if (serial == 0) {
    // No volume to name (a remote drive, or nothing in the drive): as the drive says.
    if (::RemoveDevice(lock->drive, &code)) return true;
    VAULTMsg(show, code, lock->drive, u"");
    return false;
  }
  // The system drive and volumes never registered need nothing.
  _DRIVESERIAL devices;
  if (GetAddedDevice(&devices, false) && !IsRegistered(devices, serial)) return true;
  return RemoveDevice(lock->drive, serial, show);
}

bool CVAULTObj::RemoveDevice(WCHAR drive, DWORD serial, bool show) {
  _DEVICE_INFO device;
  std::memset(&device, 0, sizeof device);
  device.devLetter = drive;
  device.devSerial = serial;
  int code = 0;
  if (RemoveDeviceEx(&device, &code)) return true;
  VAULTMsg(show, code, drive, u"");
  return false;
}

bool CVAULTObj::GetAddedDevice(_DRIVESERIAL* out, bool show) {
  if (!out) return false;
  int code = 0;
  if (AddedDeviceList(out, &code)) return true;
  VAULTMsg(show, code, 0, u"");
  return false;
}

bool CVAULTObj::CheckAddedDrive(DWORD serial, _LCK_INFORMAION* list, int count) {
  if (count <= 0) return true;
  if (!list) return false;
  for (int i = 0; i < count; ++i) {
    if (list[i].serial == serial) return true;
  }
  return false;
}

bool CVAULTObj::DriveRegister(_LCK_INFORMAION* lock, bool show) {
  if (!lock) return false;
  if (lock->type == LCK_TYPE_FOLDER) return true;
  GetDefaultLockFolder();
  WCHAR folderDrive = defaultFolder[0];
  const WCHAR* folderPath = defaultFolder + 2;
  std::vector<_LCK_PROC_INFORMATION> processes;
  bool read = false;
  // A process trusted between the count and the read makes the read fail: count again.
  for (int attempt = 0; attempt < kListAttempts && !read; ++attempt) {
    int count = 0;
    if (!ProcGetCount(folderDrive, folderPath, &count, show)) return false;
    if (count == 0) return true;
    try {
      processes.assign(static_cast<size_t>(count), _LCK_PROC_INFORMATION{});
    } catch (const std::bad_alloc&) {
      MemoryMsg(show);
      return false;
    }
    read = ProcGetInformation(folderDrive, folderPath, processes.data(), count, attempt + 1 == kListAttempts && show);
  }
  if (!read) return false;
  for (_LCK_PROC_INFORMATION& process : processes) {
    process.procDrive = lock->drive;
    std::memset(process.procPath, 0, sizeof process.procPath);
    process.scope = PROC_SCOPE_DRIVE;
    if (!ProcRegister(&process, show)) return false;
  }
  return true;
}

bool CVAULTObj::DriveUnRegister(_LCK_INFORMAION* lock, bool show) {
  if (!lock) return false;
  if (lock->type == LCK_TYPE_FOLDER) return true;
  int count = 0;
  if (!ProcGetCount(lock->drive, nullptr, &count, show)) return false;
  if (count == 0) return true;
  std::vector<_LCK_PROC_INFORMATION> processes;
  try {
    processes.assign(static_cast<size_t>(count), _LCK_PROC_INFORMATION{});
  } catch (const std::bad_alloc&) {
    MemoryMsg(show);
    return false;
  }
  if (!ProcGetInformation(lock->drive, nullptr, processes.data(), count, show)) return false;
  // Every entry is withdrawn, also after one that fails.
  bool all = true;
  for (_LCK_PROC_INFORMATION& process : processes) {
    if (!ProcRemove(&process, show)) all = false;
  }
  return all;
}
