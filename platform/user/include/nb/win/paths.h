// How the Win32 file calls read a path: a device of the object manager, a drive's volume,
// or a file or folder below a drive's root.
#pragma once

#include <string>
#include <string_view>

#include "nb/basetypes.h"

namespace nb::win {

enum class PathKind {
  kInvalid,    // `error` says why
  kDevice,     // "\\.\NAME": the object "\DosDevices\NAME"
  kVolume,     // "\\.\X:": the volume of drive X
  kDriveFile,  // "X:\a\b": a file or folder below drive X's root
};

struct Win32Path {
  PathKind kind = PathKind::kInvalid;
  DWORD error = 0;
  std::u16string objectName;  // kDevice
  WCHAR letter = 0;           // kVolume and kDriveFile, upper case
  // kDriveFile: the components below the root joined with "/", with "." and ".."
  // resolved (never above the root); empty for the root itself.
  std::u16string relative;
};

// Either separator is accepted. Each name loses the dots and spaces it ends with, as in
// Win32, except in "\\?\" paths, which are taken literally. A drive path without a separator after the colon is read
// from the drive's root, and paths without a drive (relative or UNC) are refused: this
// platform keeps no current directory and no network.
Win32Path ParseWin32Path(std::u16string_view path);

}  // namespace nb::win
