// Mount-point queries: decode, select, lay out.
#include "nb/kernel/mount_points.h"

#include <cstring>

namespace nb::kernel {

namespace {

std::u16string ComparableName(std::u16string_view name) {
  std::u16string comparable(name);
  if (comparable.rfind(u"\\??\\", 0) == 0) comparable = u"\\DosDevices\\" + comparable.substr(4);
  for (auto& c : comparable) c = RtlUpcaseUnicodeChar(c);
  return comparable;
}

bool SameName(std::u16string_view a, std::u16string_view b) { return ComparableName(a) == ComparableName(b); }

// A part of the query record: `length` bytes at `offset` from the start of the input.
bool ReadPart(const UCHAR* input, ULONG inputLength, ULONG offset, USHORT length, std::vector<UCHAR>* part) {
  if (length == 0) return true;
  if (offset > inputLength || length > inputLength - offset) return false;
  part->assign(input + offset, input + offset + length);
  return true;
}

std::u16string AsName(const std::vector<UCHAR>& bytes) {
  if (bytes.empty()) return {};
  std::u16string name(bytes.size() / sizeof(WCHAR), u'\0');
  std::memcpy(name.data(), bytes.data(), name.size() * sizeof(WCHAR));
  return name;
}

ULONG Even(ULONG offset) { return (offset + 1) & ~1u; }

}  // namespace

NTSTATUS DecodeMountPointQuery(const void* input, ULONG inputLength, MountPointQuery* query) {
  *query = MountPointQuery{};
  if (!input || inputLength < sizeof(MOUNTMGR_MOUNT_POINT)) return STATUS_INVALID_PARAMETER;
  MOUNTMGR_MOUNT_POINT record;
  std::memcpy(&record, input, sizeof record);
  if (record.SymbolicLinkNameLength % sizeof(WCHAR) != 0 || record.DeviceNameLength % sizeof(WCHAR) != 0)
    return STATUS_INVALID_PARAMETER;
  const auto* bytes = static_cast<const UCHAR*>(input);
  std::vector<UCHAR> link;
  std::vector<UCHAR> device;
  if (!ReadPart(bytes, inputLength, record.SymbolicLinkNameOffset, record.SymbolicLinkNameLength, &link) ||
      !ReadPart(bytes, inputLength, record.UniqueIdOffset, record.UniqueIdLength, &query->uniqueId) ||
      !ReadPart(bytes, inputLength, record.DeviceNameOffset, record.DeviceNameLength, &device)) {
    return STATUS_INVALID_PARAMETER;
  }
  query->symbolicLink = AsName(link);
  query->deviceName = AsName(device);
  return STATUS_SUCCESS;
}

std::vector<MountPoint> SelectMountPoints(const std::vector<MountPoint>& points, const MountPointQuery& query) {
  std::vector<MountPoint> selected;
  if (!query.symbolicLink.empty()) {
    for (const MountPoint& point : points) {
      if (SameName(point.symbolicLink, query.symbolicLink)) {
        selected.push_back(point);
        break;
      }
    }
    return selected;
  }
  for (const MountPoint& point : points) {
    bool wanted = !query.uniqueId.empty()     ? point.uniqueId == query.uniqueId
                  : !query.deviceName.empty() ? SameName(point.deviceName, query.deviceName)
                                              : true;
    if (wanted) selected.push_back(point);
  }
  return selected;
}

NTSTATUS EncodeMountPoints(const std::vector<MountPoint>& points, void* output, ULONG outputLength, ULONG* written) {
  *written = 0;
  if (!output || outputLength < sizeof(MOUNTMGR_MOUNT_POINTS)) return STATUS_BUFFER_TOO_SMALL;
  // First the layout, then the copy once it is known to fit.
  std::vector<MOUNTMGR_MOUNT_POINT> records(points.size());
  ULONG size = static_cast<ULONG>(offsetof(MOUNTMGR_MOUNT_POINTS, MountPoints) +
                                  points.size() * sizeof(MOUNTMGR_MOUNT_POINT));
  for (size_t i = 0; i < points.size(); ++i) {
    const MountPoint& point = points[i];
    MOUNTMGR_MOUNT_POINT& record = records[i];
    record.SymbolicLinkNameOffset = size = Even(size);
    record.SymbolicLinkNameLength = static_cast<USHORT>(point.symbolicLink.size() * sizeof(WCHAR));
    size += record.SymbolicLinkNameLength;
    record.UniqueIdOffset = size = Even(size);
    record.UniqueIdLength = static_cast<USHORT>(point.uniqueId.size());
    size += record.UniqueIdLength;
    record.DeviceNameOffset = size = Even(size);
    record.DeviceNameLength = static_cast<USHORT>(point.deviceName.size() * sizeof(WCHAR));
    size += record.DeviceNameLength;
  }
  auto* answer = static_cast<MOUNTMGR_MOUNT_POINTS*>(output);
  answer->Size = size;
  answer->NumberOfMountPoints = static_cast<ULONG>(points.size());
  if (size > outputLength) {
    *written = sizeof(MOUNTMGR_MOUNT_POINTS);
    return STATUS_BUFFER_OVERFLOW;
  }
  auto* bytes = static_cast<UCHAR*>(output);
  std::memset(bytes + 2 * sizeof(ULONG), 0, size - 2 * sizeof(ULONG));
  for (size_t i = 0; i < points.size(); ++i) {
    const MountPoint& point = points[i];
    const MOUNTMGR_MOUNT_POINT& record = records[i];
    std::memcpy(bytes + offsetof(MOUNTMGR_MOUNT_POINTS, MountPoints) + i * sizeof record, &record, sizeof record);
    std::memcpy(bytes + record.SymbolicLinkNameOffset, point.symbolicLink.data(), record.SymbolicLinkNameLength);
    if (record.UniqueIdLength) std::memcpy(bytes + record.UniqueIdOffset, point.uniqueId.data(), record.UniqueIdLength);
    std::memcpy(bytes + record.DeviceNameOffset, point.deviceName.data(), record.DeviceNameLength);
  }
  *written = size;
  return STATUS_SUCCESS;
}

}  // namespace nb::kernel
