// The walk over the driver's drive table: a drive lock per drive with a mode or time-out,
// else the drive's folder locks.
#include "driver_locks.h"

#include <cstring>
#include <new>
#include <vector>

#include "nbclient.h"

namespace nbutil {

namespace {

constexpr size_t kDriveSlots = 26;

bool IsDriveLock(const NBFS_DRIVE& drive) { return drive.flags != 0 || drive.timeout != 0; }

bool ReadDriveTable(NBFS_DRIVE (&drives)[kDriveSlots]) {
  std::memset(drives, 0, sizeof drives);
  return GetDriveInformation(drives, sizeof drives) == 0;
}

// Fills one record, zeroed first.
void FillRecord(_LCK_INFORMAION* record, int type, UCHAR letter, ULONG mode, ULONG timeoutSeconds,
                const WCHAR* path) {
  std::memset(record, 0, sizeof *record);
  record->type = type;
  record->drive = letter;
  record->mode = static_cast<INT>(mode);
  record->timeout = static_cast<INT>(timeoutSeconds);
  if (path) {
    size_t length = 0;
    while (length < NBFS_PATH_UNITS - 1 && path[length]) ++length;
    std::memcpy(record->path, path, length * sizeof(WCHAR));
  }
}

enum class WalkResult { kDone, kUnsettled, kUnreadable };

WalkResult Walk(_LCK_INFORMAION* out, size_t capacity, size_t* written, bool* tooMany) {
  *written = 0;
  *tooMany = false;
  NBFS_DRIVE drives[kDriveSlots];
  if (!ReadDriveTable(drives)) return WalkResult::kUnreadable;
  bool unsettled = false;
  auto take = [&](int type, UCHAR letter, ULONG mode, ULONG timeout, const WCHAR* path) {
    if (*written == capacity) {
      *tooMany = true;
      return;
    }
    FillRecord(&out[(*written)++], type, letter, mode, timeout, path);
  };
  for (const NBFS_DRIVE& drive : drives) {
    if (drive.letter == 0) break;
    if (IsDriveLock(drive)) {
      take(LCK_TYPE_DRIVE, drive.letter, drive.flags, drive.timeout, nullptr);
      continue;
    }
    ULONG count = 0;
    if (GetEntryCountInDrive(drive.letter, &count) != 0 || count == 0) continue;
    std::vector<NBFS_ENTRY> entries;
    try {
      entries.resize(count);
    } catch (const std::bad_alloc&) {
      return WalkResult::kUnreadable;
    }
    // A lock added or removed since the count makes the driver refuse the read.
    if (GetEntryInfoInDrive(drive.letter, entries.data(), static_cast<ULONG>(count * sizeof(NBFS_ENTRY))) != 0) {
      unsettled = true;
      continue;
    }
    for (const NBFS_ENTRY& entry : entries) {
      bool folder = entry.path[0] != 0;
      take(folder ? LCK_TYPE_FOLDER : LCK_TYPE_DRIVE, entry.letter ? entry.letter : drive.letter, entry.type,
           entry.timeout, folder ? entry.path : nullptr);
    }
  }
  return unsettled || *tooMany ? WalkResult::kUnsettled : WalkResult::kDone;
}

}  // namespace

LockReadResult ReadDriverLocks(_LCK_INFORMAION* out, size_t capacity, size_t* written) {
  *written = 0;
  bool tooMany = false;
  for (int attempt = 0; attempt < kLockReadAttempts; ++attempt) {
    WalkResult result = Walk(out, capacity, written, &tooMany);
    if (result == WalkResult::kUnreadable) return LockReadResult::kUnreadable;
    if (result == WalkResult::kDone) return LockReadResult::kRead;
  }
  return tooMany ? LockReadResult::kTooMany : LockReadResult::kUnreadable;
}

bool CountDriverLocks(size_t* count) {
  *count = 0;
  NBFS_DRIVE drives[kDriveSlots];
  if (!ReadDriveTable(drives)) return false;
  for (const NBFS_DRIVE& drive : drives) {
    if (drive.letter == 0) break;
    if (IsDriveLock(drive)) {
      ++*count;
      continue;
    }
    ULONG inDrive = 0;
    if (GetEntryCountInDrive(drive.letter, &inDrive) == 0) *count += inDrive;
  }
  return true;
}

}  // namespace nbutil
