// The paths nbctl is given: "X:\..." drive paths, or host paths under a drive's mount
// that the process's drive map turns into drive paths.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <windows.h>

#include "VAULTSdk.h"

namespace nb::nbctl {

// The drive path a host path maps to ("\\?\unix..." when it lies outside every drive).
using HostPathMapper = std::function<std::u16string(std::string_view absoluteHostPath)>;

struct DrivePath {
  std::u16string path;  // "X:\..." (upper-case letter; "X:\" for a drive root)
  std::string error;    // set when the argument names no drive path
};

// The argument as a drive path: "X:", "X:\..." and "X:/..." are taken as they are (the
// letter upper-cased, separators made backslashes, "." and ".." resolved, no trailing
// separator but the root's); anything else is a host path, made absolute against
// `workingFolder` and mapped.
DrivePath ToDrivePath(std::string_view argument, const std::string& workingFolder, const HostPathMapper& mapper);

// Whether a drive path names the root of its drive ("X:\").
inline bool IsDriveRoot(std::u16string_view path) { return path.size() == 3; }

// Whether two drive paths name the same folder: equal ignoring letter case (the driver
// matches lock paths that way).
bool SameDrivePath(std::u16string_view a, std::u16string_view b);

// Whether `path` names the lock: its folder (or "X:\" for a drive lock) under the drive
// letter the driver knows or the one the console shows, ignoring letter case.
bool LockAnswersTo(const _LCK_INFORMAION& lock, std::u16string_view path);

}  // namespace nb::nbctl
