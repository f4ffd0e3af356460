// GetLockCount, GetLockInfo, UnLock and UnlockAll.
#include <new>
#include <string>
#include <vector>

#include "NBUtil.h"
#include "driver_locks.h"
#include "nbclient.h"

int GetLockCount() {
  size_t count = 0;
  return nbutil::CountDriverLocks(&count) ? static_cast<int>(count) : 0;
}

int GetLockInfo(_LCK_INFORMAION* out, int count) {
  if (!out || count < 0) return 0;
  size_t written = 0;
  return nbutil::ReadDriverLocks(out, static_cast<size_t>(count), &written) == nbutil::LockReadResult::kRead ? 1 : 0;
}

int UnLock(const _LCK_INFORMAION* lock) {
  if (!lock) return 0;
  // A path that does not end inside its field is no path.
  if (lock->type == LCK_TYPE_FOLDER &&
      std::char_traits<char16_t>::find(lock->path, LCK_PATH_UNITS, u'\0') == nullptr) {
    return 0;
  }
  int result = lock->type == LCK_TYPE_FOLDER ? UnlockFolder(lock->drive, lock->path) : UnlockDrive(lock->drive);
  return result == 0 ? 1 : 0;
}

int UnlockAll() {
  std::vector<_LCK_INFORMAION> locks;
  size_t written = 0;
  nbutil::LockReadResult read = nbutil::LockReadResult::kTooMany;
  // A lock added between the count and the list is counted again.
  for (int attempt = 0; attempt < nbutil::kLockReadAttempts && read == nbutil::LockReadResult::kTooMany; ++attempt) {
    int count = GetLockCount();
    if (count == 0) return 1;
    try {
      locks.resize(static_cast<size_t>(count));
    } catch (const std::bad_alloc&) {
      return 0;
    }
    read = nbutil::ReadDriverLocks(locks.data(), locks.size(), &written);
  }
  if (read != nbutil::LockReadResult::kRead) return 0;
  int all = 1;
  for (size_t i = 0; i < written; ++i) {
    if (!UnLock(&locks[i])) all = 0;
  }
  return all;
}
