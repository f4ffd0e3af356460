// The default lock folder's name and the answers about it, as plain functions.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <windows.h>

namespace nbutil {

inline constexpr size_t kWindowsFolderUnits = 100;  // at most 99 characters are taken

// "<windows>\Application Data\NB".
std::u16string DefaultFolderOf(std::u16string_view windowsFolder);
// The default folder of this machine; nullopt (last error set) when the Windows folder
// cannot be read or is longer than 99 characters.
std::optional<std::u16string> DefaultFolder();
// "<folder>\nbfs<major><minor>.sys".
std::u16string DriverFileOf(std::u16string_view folder, int major, int minor);
// CheckDefaultFolder's answer for the system error of opening the folder (0: opened).
int DefaultFolderAnswer(DWORD error);

// A drive path "X:\..." split as the driver calls take it.
struct DrivePath {
  WCHAR letter;
  std::u16string path;  // from the third character on
};
DrivePath SplitDrivePath(std::u16string_view full);

}  // namespace nbutil
