// Decoding the mount manager's answer.
#include "mount_points.h"

#include <cstring>

#include <mountmgr.h>

namespace vault {

namespace {

constexpr size_t kHeaderBytes = offsetof(MOUNTMGR_MOUNT_POINTS, MountPoints);
constexpr size_t kLinkBytes = 28;  // "\DosDevices\X:"
constexpr size_t kMinUniqueIdBytes = 12;
constexpr std::u16string_view kDosDevices = u"\\DosDevices\\";

bool Inside(ULONG offset, USHORT length, size_t returned) {
  return offset <= returned && length <= returned - offset;
}

}  // namespace

std::vector<uint8_t> MountPointQuery(const std::u16string& deviceName) {
  size_t nameBytes = deviceName.size() * sizeof(WCHAR);
  std::vector<uint8_t> query(sizeof(MOUNTMGR_MOUNT_POINT) + nameBytes, 0);
  MOUNTMGR_MOUNT_POINT point{};
  point.DeviceNameOffset = sizeof point;
  point.DeviceNameLength = static_cast<USHORT>(nameBytes);
  std::memcpy(query.data(), &point, sizeof point);
  std::memcpy(query.data() + sizeof point, deviceName.data(), nameBytes);
  return query;
}

std::optional<WCHAR> DriveLetterOfMountPoints(const uint8_t* answer, size_t returned) {
  if (!answer || returned < kHeaderBytes) return std::nullopt;
  ULONG size;
  ULONG count;
  std::memcpy(&size, answer, sizeof size);
  std::memcpy(&count, answer + sizeof size, sizeof count);
  // An answer that needed more room than it got is incomplete.
  if (size > returned || count > (returned - kHeaderBytes) / sizeof(MOUNTMGR_MOUNT_POINT)) return std::nullopt;
  for (ULONG i = 0; i < count; ++i) {
    MOUNTMGR_MOUNT_POINT point;
    std::memcpy(&point, answer + kHeaderBytes + i * sizeof point, sizeof point);
    if (!Inside(point.SymbolicLinkNameOffset, point.SymbolicLinkNameLength, returned) ||
        !Inside(point.UniqueIdOffset, point.UniqueIdLength, returned)) {
      return std::nullopt;
    }
    if (point.SymbolicLinkNameLength != kLinkBytes || point.UniqueIdLength < kMinUniqueIdBytes) continue;
    std::u16string link(kLinkBytes / sizeof(WCHAR), u'\0');
    std::memcpy(link.data(), answer + point.SymbolicLinkNameOffset, kLinkBytes);
    WCHAR letter = link[kDosDevices.size()];
    if (link.starts_with(kDosDevices) && letter >= u'A' && letter <= u'Z' && link.back() == u':') return letter;
  }
  return std::nullopt;
}

}  // namespace vault
