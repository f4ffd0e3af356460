// The questions asked before a lock is set: does it collide with a lock already there.
#pragma once

#include <string>
#include <string_view>

#include <windows.h>

#include "NBUtil.h"

namespace nbutil {

// A lock's full name "X:\path" (a drive lock gives "X:"); the path is read within its field.
std::u16string FullLockName(const _LCK_INFORMAION& lock);
// Equal ignoring case, as the driver folds letters.
bool SameIgnoringCase(std::u16string_view a, std::u16string_view b);
// One name covers the other: equal, or one is the beginning of the other and they have
// different numbers of backslashes.
bool NamesCollide(std::u16string_view a, std::u16string_view b);

}  // namespace nbutil
