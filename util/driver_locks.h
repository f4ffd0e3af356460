// The driver's locks read through its drive table, without a lock object.
#pragma once

#include <cstddef>

#include <windows.h>

#include "NBUtil.h"

namespace nbutil {

enum class LockReadResult {
  kRead,       // every lock fitted
  kTooMany,    // the driver kept holding more locks than there was room for
  kUnreadable  // the drive table or a drive's entries could not be read
};

// How often a walk that found the driver's table changing under it is run again.
inline constexpr int kLockReadAttempts = 3;

// Reads the locks into at most `capacity` records (each one it fills zeroed first) and
// stores how many it wrote. A walk that meets a changing table (a drive whose entries no
// longer match its count, more locks than room) is run again, a bounded number of times.
LockReadResult ReadDriverLocks(_LCK_INFORMAION* out, size_t capacity, size_t* written);

// The number of locks the driver holds; false when the drive table cannot be read.
bool CountDriverLocks(size_t* count);

}  // namespace nbutil
