// The mount manager's answer to a query of the points of one device, decoded with every
// offset and length checked against the bytes it returned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <windows.h>

namespace vault {

// The query of IOCTL_MOUNTMGR_QUERY_POINTS whose only filled part is the device name.
std::vector<uint8_t> MountPointQuery(const std::u16string& deviceName);

// The drive letter of the first point whose symbolic link is "\DosDevices\X:" (28
// bytes, X from A to Z) and whose unique id is longer than 11 bytes. nullopt when none is,
// or when the answer is short or a point's name or id lies outside the `returned` bytes.
std::optional<WCHAR> DriveLetterOfMountPoints(const uint8_t* answer, size_t returned);

}  // namespace vault
