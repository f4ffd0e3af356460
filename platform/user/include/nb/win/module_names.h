// Names of module files between Windows and the host: the drive map read both ways, and
// "\\?\unix\/abs/path" for files outside every drive.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "nb/basetypes.h"

namespace nb::win {

// The prefix that names a host file outside every drive: "\\?\unix\/usr/lib/x.so".
inline constexpr std::u16string_view kUnixPathPrefix = u"\\\\?\\unix\\";

// The Windows name of a host file: "X:\a\b" when a drive's folder holds it (the most
// specific one when several do), else the unix prefix and the host path.
std::u16string WindowsNameOfHostFile(std::string_view hostPath);

// The host path of a module file named by a drive path or the unix prefix (either
// separator after the drive; the unix path must be absolute). nullopt with
// ERROR_MOD_NOT_FOUND for anything else or an unmapped drive.
std::optional<std::string> HostPathOfModuleFile(std::u16string_view name, DWORD* error);

// Windows' default extension: a file name without one gets ".dll", and a name that ends
// with "." has none ("x." is "x").
std::u16string WithModuleExtension(std::u16string_view name);

}  // namespace nb::win
