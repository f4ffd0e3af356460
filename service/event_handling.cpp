// What the notification threads do: on a device event the stored locks whose volume has
// become present are applied (a removable medium takes its locks to whatever letter it
// gets); on a timer event every expired idle time-out is locked again.
#include <cstring>
#include <vector>

#include <windows.h>

#include "LogFile.h"
#include "NBUtil.h"
#include "nbfsctl.h"
#include "service.h"

void NBService::HandleDeviceEvent(LPCWSTR name) {
  LogMessage(u"EventDevice(%s)", name);
  int enabled = AutoRun();
  LogMessage(u"Enabled Folder count=%d", enabled);
  NotifyConsole();
}

int NBService::AutoRun() {
  CVAULTObj vault;
  vault.GetLockDbPath();
  if (!LoadStoredLocks(vault) || vault.storedLocks.empty()) return 0;
  vault.GetDriveSerial();
  if (!LoadKernelLocks(vault)) return 0;
  const int storedCount = static_cast<int>(vault.storedLocks.size());
  const int kernelCount = static_cast<int>(vault.driverLocks.size());

  // The driver's locks with what the store knows of them.
  std::vector<_LCK_INFORMAION> autoRun;
  for (const _LCK_INFORMAION& kernel : vault.driverLocks) {
    _LCK_INFORMAION copy = kernel;
    int found = FindStoredLock(&kernel, vault.storedLocks.data(), storedCount);
    if (found >= 0) {
      const _LCK_INFORMAION& stored = vault.storedLocks[static_cast<size_t>(found)];
      copy.status = stored.status;
      std::memcpy(copy.owner, stored.owner, sizeof copy.owner);
      if (copy.mode == 0) copy.mode = stored.mode;
    }
    autoRun.push_back(copy);
  }

  // The stored locks missing from the driver whose volume is present.
  vault.GetDriveSerial();
  PruneAddedDevices(vault);
  int missing = 0;
  for (const _LCK_INFORMAION& stored : vault.storedLocks) {
    if (FindStoredLock(&stored, vault.driverLocks.data(), kernelCount) >= 0) continue;
    WCHAR drive = vault.SerialToDrive(stored.serial);
    if (drive == 0) continue;
    _LCK_INFORMAION copy = stored;
    copy.status = LCK_STATUS_NOT_STARTED;
    copy.drive = vault.GetRealDrive(drive, false);
    autoRun.push_back(copy);
    ++missing;
  }
  LogMessage(u"AutoRun_GetMissingInfo count=%d", missing);
  if (missing == 0) return 0;

  int enabled = 0;
  for (_LCK_INFORMAION& lock : autoRun) {
    if (lock.status != LCK_STATUS_NOT_STARTED) continue;
    if (!FolderEnable(vault, &lock)) continue;
    ++enabled;
    // The store keeps the state the lock really has when it could not be paused.
    if (!FolderPause(vault, &lock)) CMdb(vault.lockDbPath, false).UpdateLock(&lock);
  }
  return enabled;
}

void NBService::PruneAddedDevices(CVAULTObj& vault) {
  _DRIVESERIAL added{};
  if (!vault.GetAddedDevice(&added, false)) return;
  int count = added.count < 0 ? 0 : std::min(added.count, static_cast<INT>(DRIVESERIAL_SLOTS));
  for (int i = 0; i < count; ++i) {
    DWORD serial = added.volumeSerial[i];
    if (vault.FindDriveSerial(serial, &vault.driveSerial)) continue;
    if (vault.CheckAddedDrive(serial, vault.driverLocks.data(), static_cast<int>(vault.driverLocks.size()))) continue;
    vault.RemoveDevice(added.letter[i], serial, false);
  }
}

bool NBService::FolderEnable(CVAULTObj& vault, _LCK_INFORMAION* lock) {
  bool registered = false;
  if (!vault.AddDevice(lock, false, &registered)) return false;
  lock->status = LCK_STATUS_LOCKED;
  LogMessage(u"AutoRun_FolderEnable(%c:%s)", lock->drive, lock->path);
  if (vault.Lock(lock, 0)) {
    vault.RemoveShotcut(lock);
    return true;
  }
  // Only a registration made here is withdrawn: other locks on the volume may need it.
  if (registered) vault.RemoveDevice(lock, false);
  lock->status = LCK_STATUS_NOT_STARTED;
  return false;
}

bool NBService::FolderPause(CVAULTObj& vault, _LCK_INFORMAION* lock) {
  int found = FindStoredLock(lock, vault.storedLocks.data(), static_cast<int>(vault.storedLocks.size()));
  if (found < 0 || vault.storedLocks[static_cast<size_t>(found)].status != LCK_STATUS_PAUSED) return true;
  LogMessage(u"AutoRun_FolderPause(%c:%s)", lock->drive, lock->path);
  if (!vault.PauseLock(lock, 0)) return false;
  lock->status = LCK_STATUS_PAUSED;
  return true;
}

void NBService::HandleTimerEvent(LPCWSTR name) {
  LogMessage(u"EventTimer(%s)", name);
  CVAULTObj vault;
  int count = RelockExpired(
      [&vault](std::vector<_LCK_INFORMAION>* table) {
        vault.driverLocks.clear();
        bool read = LoadKernelLocks(vault);
        *table = std::move(vault.driverLocks);
        vault.driverLocks.clear();
        return read;
      },
      [&vault](_LCK_INFORMAION* lock) { return vault.StartTimeOut(lock, false) != 0; });
  LogMessage(u"TimeOut Folder Count=%d", count);
  NotifyConsole();
}
