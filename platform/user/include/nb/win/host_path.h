// The host path of a drive path, for C libraries that open files by name (gdbm, fopen):
// they reach a drive's files through the drive map, so they see the drive's mount
// (filtered) or, on an in-process machine, its backing folder. (The Win32 file calls on
// files are requests to the machine instead; only whole-volume opens use the map.)
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "nb/basetypes.h"

namespace nb::win {

// "X:\a\b" in the ANSI code page (UTF-8), read as CreateFileW reads it ("." and ".."
// resolved, never above the root; either separator), becomes the drive's host folder
// followed by "/a/b". Devices, volumes, relative and UNC paths and unmapped drives have
// no host path: nullopt, with the Win32 error in `*error` when one is asked for.
std::optional<std::string> HostPathOf(std::string_view ansiPath, DWORD* error = nullptr);

}  // namespace nb::win
