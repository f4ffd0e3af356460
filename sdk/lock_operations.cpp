// CVAULTObj lock operations: Lock, UnLock, SetLock, PauseLock, ResumeLock, StartTimeOut.
#include <limits>

#include <windows.h>

#include "VAULTSdk.h"
#include "lock_records.h"
#include "nbclient.h"

namespace {

constexpr ULONG kSecondsPerMinute = 60;

// The time-out in seconds; false for one that is negative or does not fit the driver's
// field (it would wrap into another time-out).
bool TimeoutSeconds(INT minutes, ULONG* seconds) {
  if (minutes < 0 || static_cast<ULONG>(minutes) > std::numeric_limits<ULONG>::max() / kSecondsPerMinute) {
    return false;
  }
  *seconds = static_cast<ULONG>(minutes) * kSecondsPerMinute;
  return true;
}

WCHAR DriveByte(const _LCK_INFORMAION& lock) { return static_cast<WCHAR>(lock.drive & 0xFF); }

bool IsFolder(const _LCK_INFORMAION& lock) { return lock.type == LCK_TYPE_FOLDER; }

}  // namespace

// `call` gets the drive letter and the path (at most 259 characters and its NUL) and
// returns the client library's code.
template <typename Call>
int CVAULTObj::Operate(_LCK_INFORMAION* lock, int show, Call call) {
  if (!lock) return 0;
  // A drive lock sends no path (or an empty one).
  std::optional<std::u16string> path = IsFolder(*lock) ? vault::DriverPath(*lock) : std::u16string();
  if (!path) {
    // Refused rather than cut: a cut path names another folder.
    std::optional<std::u16string_view> whole = vault::FieldText(lock->path);
    VAULTMsg(show, NB_ERROR_INVALID, lock->drive, whole ? std::u16string(*whole).c_str() : u"");
    return 0;
  }
  int result = call(DriveByte(*lock), path->c_str());
  if (result == NB_SUCCESS) return 1;
  VAULTMsg(show, result, lock->drive, path->c_str());
  return 0;
}

int CVAULTObj::Lock(_LCK_INFORMAION* lock, int show) {
  return Operate(lock, show, [lock](WCHAR drive, const WCHAR* path) {
    ULONG seconds;
    if (!TimeoutSeconds(lock->timeout, &seconds)) return NB_ERROR_INVALID;
    ULONG mode = static_cast<ULONG>(lock->mode);
    return IsFolder(*lock) ? LockFolder(drive, path, mode, seconds) : LockDrive(drive, mode, seconds);
  });
}

int CVAULTObj::UnLock(_LCK_INFORMAION* lock, int show) {
  return Operate(lock, show, [lock](WCHAR drive, const WCHAR* path) {
    return IsFolder(*lock) ? UnlockFolder(drive, path) : UnlockDrive(drive);
  });
}

int CVAULTObj::SetLock(_LCK_INFORMAION* lock, int show) {
  return Operate(lock, show, [lock](WCHAR drive, const WCHAR* path) {
    ULONG seconds;
    if (!TimeoutSeconds(lock->timeout, &seconds)) return NB_ERROR_INVALID;
    return SetEntryInfo(drive, IsFolder(*lock) ? path : nullptr, static_cast<ULONG>(lock->mode), seconds);
  });
}

int CVAULTObj::PauseLock(_LCK_INFORMAION* lock, int show) {
  return Operate(lock, show, [lock](WCHAR drive, const WCHAR* path) {
    return Pause(drive, IsFolder(*lock) ? path : nullptr);
  });
}

int CVAULTObj::ResumeLock(_LCK_INFORMAION* lock, int show) {
  return Operate(lock, show, [lock](WCHAR drive, const WCHAR* path) {
    return Resume(drive, IsFolder(*lock) ? path : nullptr);
  });
}

int CVAULTObj::StartTimeOut(_LCK_INFORMAION* lock, bool show) {
  // The path is always passed: empty for a drive lock.
  return Operate(lock, show, [lock](WCHAR drive, const WCHAR* path) {
    return StartTimeOutEntry(drive, IsFolder(*lock) ? path : u"");
  });
}
