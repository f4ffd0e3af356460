// The mount manager's query as plain logic: decoding a query, choosing points, the layout.
#include <cstring>

#include <gtest/gtest.h>

#include "nb/kernel/mount_points.h"

namespace nb::kernel {
namespace {

std::vector<UCHAR> Bytes(std::initializer_list<int> values) {
  std::vector<UCHAR> bytes;
  for (int value : values) bytes.push_back(static_cast<UCHAR>(value));
  return bytes;
}

const std::vector<MountPoint> kPoints = {
    {u"\\??\\Volume{1}", Bytes({1, 2, 3}), u"\\Device\\HarddiskVolume1"},
    {u"\\DosDevices\\C:", Bytes({1, 2, 3}), u"\\Device\\HarddiskVolume1"},
    {u"\\??\\Volume{2}", Bytes({9, 9}), u"\\Device\\HarddiskVolume2"},
    {u"\\DosDevices\\E:", Bytes({9, 9}), u"\\Device\\HarddiskVolume2"},
};

// A query record with the given parts laid out after it.
std::vector<UCHAR> Query(std::u16string_view link, const std::vector<UCHAR>& id, std::u16string_view device) {
  std::vector<UCHAR> buffer(sizeof(MOUNTMGR_MOUNT_POINT));
  MOUNTMGR_MOUNT_POINT record{};
  auto append = [&](const void* data, size_t bytes, ULONG* offset, USHORT* length) {
    if (!bytes) return;
    *offset = static_cast<ULONG>(buffer.size());
    *length = static_cast<USHORT>(bytes);
    buffer.insert(buffer.end(), static_cast<const UCHAR*>(data), static_cast<const UCHAR*>(data) + bytes);
  };
  append(link.data(), link.size() * 2, &record.SymbolicLinkNameOffset, &record.SymbolicLinkNameLength);
  append(id.data(), id.size(), &record.UniqueIdOffset, &record.UniqueIdLength);
  append(device.data(), device.size() * 2, &record.DeviceNameOffset, &record.DeviceNameLength);
  std::memcpy(buffer.data(), &record, sizeof record);
  return buffer;
}

std::vector<std::u16string> Links(const std::vector<MountPoint>& points) {
  std::vector<std::u16string> links;
  for (const auto& point : points) links.push_back(point.symbolicLink);
  return links;
}

TEST(MountPointsTest, DecodingRefusesRecordsThatDoNotHoldTogether) {
  MountPointQuery query;
  std::vector<UCHAR> good = Query(u"\\DosDevices\\C:", {}, u"");
  EXPECT_EQ(DecodeMountPointQuery(good.data(), static_cast<ULONG>(good.size()), &query), STATUS_SUCCESS);
  EXPECT_EQ(query.symbolicLink, u"\\DosDevices\\C:");
  EXPECT_EQ(DecodeMountPointQuery(good.data(), sizeof(MOUNTMGR_MOUNT_POINT) - 1, &query), STATUS_INVALID_PARAMETER);
  // The name runs past the end of the input.
  EXPECT_EQ(DecodeMountPointQuery(good.data(), static_cast<ULONG>(good.size() - 2), &query), STATUS_INVALID_PARAMETER);
  std::vector<UCHAR> odd = good;
  reinterpret_cast<MOUNTMGR_MOUNT_POINT*>(odd.data())->SymbolicLinkNameLength = 3;
  EXPECT_EQ(DecodeMountPointQuery(odd.data(), static_cast<ULONG>(odd.size()), &query), STATUS_INVALID_PARAMETER);
  std::vector<UCHAR> far = good;
  reinterpret_cast<MOUNTMGR_MOUNT_POINT*>(far.data())->SymbolicLinkNameOffset = 0xFFFFFFF0u;
  EXPECT_EQ(DecodeMountPointQuery(far.data(), static_cast<ULONG>(far.size()), &query), STATUS_INVALID_PARAMETER);
}

TEST(MountPointsTest, QueriesPickByLinkThenIdThenDevice) {
  struct Case {
    std::u16string link;
    std::vector<UCHAR> id;
    std::u16string device;
    std::vector<std::u16string> expected;
  };
  const Case cases[] = {
      {u"\\??\\c:", {}, u"", {u"\\DosDevices\\C:"}},  // one point; "\??\" and case do not matter
      {u"\\DosDevices\\Volume{2}", {}, u"", {u"\\??\\Volume{2}"}},
      {u"\\DosDevices\\Z:", {}, u"\\Device\\HarddiskVolume1", {}},  // the link decides alone
      {u"", Bytes({9, 9}), u"\\Device\\HarddiskVolume1", {u"\\??\\Volume{2}", u"\\DosDevices\\E:"}},
      {u"", {}, u"\\device\\harddiskvolume1", {u"\\??\\Volume{1}", u"\\DosDevices\\C:"}},
      {u"", {}, u"", Links(kPoints)},
  };
  for (const Case& c : cases) {
    std::vector<UCHAR> input = Query(c.link, c.id, c.device);
    MountPointQuery query;
    ASSERT_EQ(DecodeMountPointQuery(input.data(), static_cast<ULONG>(input.size()), &query), STATUS_SUCCESS);
    EXPECT_EQ(Links(SelectMountPoints(kPoints, query)), c.expected) << std::string(c.link.begin(), c.link.end());
  }
}

TEST(MountPointsTest, TheAnswerLaysOutRecordsThenNamesAndSaysWhatItNeeds) {
  std::vector<MountPoint> points = {kPoints[1], {u"\\DosDevices\\E:", Bytes({7}), u"\\Device\\CdRom0"}};
  alignas(8) UCHAR buffer[512];
  std::memset(buffer, 0xCC, sizeof buffer);
  ULONG written;
  ASSERT_EQ(EncodeMountPoints(points, buffer, sizeof buffer, &written), STATUS_SUCCESS);
  MOUNTMGR_MOUNT_POINTS header;
  std::memcpy(&header, buffer, 8);
  EXPECT_EQ(header.NumberOfMountPoints, 2u);
  EXPECT_EQ(header.Size, written);
  MOUNTMGR_MOUNT_POINT second;
  std::memcpy(&second, buffer + 8 + sizeof(MOUNTMGR_MOUNT_POINT), sizeof second);
  EXPECT_EQ(second.SymbolicLinkNameLength, 28);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(buffer + second.SymbolicLinkNameOffset), 14),
            u"\\DosDevices\\E:");
  EXPECT_EQ(second.UniqueIdLength, 1);
  EXPECT_EQ(buffer[second.UniqueIdOffset], 7);
  EXPECT_EQ(second.DeviceNameOffset % 2, 0u) << "names start at even offsets after an odd id";
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(buffer + second.DeviceNameOffset),
                           second.DeviceNameLength / 2),
            u"\\Device\\CdRom0");
  EXPECT_EQ(second.DeviceNameOffset + second.DeviceNameLength, header.Size);

  // Too short for the answer: the sizes only; too short for those: nothing.
  ULONG needed = header.Size;
  std::memset(buffer, 0, sizeof buffer);
  EXPECT_EQ(EncodeMountPoints(points, buffer, needed - 1, &written), STATUS_BUFFER_OVERFLOW);
  std::memcpy(&header, buffer, 8);
  EXPECT_EQ(header.Size, needed);
  EXPECT_EQ(header.NumberOfMountPoints, 2u);
  EXPECT_EQ(written, sizeof(MOUNTMGR_MOUNT_POINTS));
  EXPECT_EQ(buffer[8], 0) << "no record written";
  EXPECT_EQ(EncodeMountPoints(points, buffer, sizeof(MOUNTMGR_MOUNT_POINTS) - 1, &written), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(EncodeMountPoints({}, buffer, sizeof(MOUNTMGR_MOUNT_POINTS), &written), STATUS_SUCCESS);
  EXPECT_EQ(written, 8u);
}

}  // namespace
}  // namespace nb::kernel
