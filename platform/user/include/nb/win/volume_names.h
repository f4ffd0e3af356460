// How the drive and volume calls read their arguments and the machine's answers: root
// paths, drive letters among object names, device kinds as drive types.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "nb/basetypes.h"

namespace nb::win {

// The upper-case letter of a drive root: "X:\" (or "X:" unless the backslash is required)
// and the same after "\\.\" or "\\?\"; 0 when the path names no drive root.
WCHAR RootLetterOf(std::u16string_view path, bool backslashRequired);

// GetLogicalDrives' mask: bit 0 for A: ... for every "X:" among the names of "\DosDevices".
DWORD DriveMaskOf(const std::vector<std::u16string>& dosDeviceNames);

// The drive type (DRIVE_*) of a device as FileFsDeviceInformation reports it.
UINT DriveTypeOf(ULONG deviceType, ULONG characteristics);

// The characters a MULTI_SZ of `names` needs: each name and its NUL, then a final NUL.
size_t MultiStringLength(const std::vector<std::u16string>& names);

}  // namespace nb::win
