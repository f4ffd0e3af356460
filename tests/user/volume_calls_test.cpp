// GetLogicalDrives, GetDriveTypeW, GetVolumeInformationW, QueryDosDeviceW and the mount
// manager through CreateFileW/DeviceIoControl, on volumes of an in-process machine.
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mountmgr.h>
#include <windows.h>

#include "nb/kernel/object_namespace.h"
#include "nb/kernel/volumes.h"
#include "nb/testing/machine.h"
#include "nb/win/in_process.h"
#include "nb/win/volume_names.h"

namespace {

using nb::kernel::VolumeType;
using ::testing::Contains;

TEST(VolumeNamesTest, RootPathsNameTheirLetter) {
  struct Case {
    const char16_t* path;
    bool backslashRequired;
    WCHAR letter;
  };
  const Case cases[] = {
      {u"C:\\", true, u'C'},   {u"c:/", true, u'C'},        {u"C:", true, 0},           {u"C:", false, u'C'},
      {u"\\\\.\\e:\\", true, u'E'}, {u"\\\\?\\Z:\\", true, u'Z'}, {u"C:\\Windows", false, 0}, {u"1:\\", false, 0},
      {u"", false, 0},         {u"\\\\.\\", false, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(nb::win::RootLetterOf(c.path, c.backslashRequired), c.letter)
        << std::string(c.path, c.path + std::char_traits<char16_t>::length(c.path));
  }
}

TEST(VolumeNamesTest, DriveMasksAndTypes) {
  EXPECT_EQ(nb::win::DriveMaskOf({u"C:", u"e:", u"MountPointManager", u"Volume{x}", u"Z:", u"AB"}),
            (1u << 2) | (1u << 4) | (1u << 25));
  struct Case {
    ULONG deviceType;
    ULONG characteristics;
    UINT driveType;
  };
  const Case cases[] = {
      {FILE_DEVICE_DISK, 0, DRIVE_FIXED},
      {FILE_DEVICE_DISK, FILE_REMOVABLE_MEDIA, DRIVE_REMOVABLE},
      {FILE_DEVICE_DISK_FILE_SYSTEM, 0, DRIVE_FIXED},
      {FILE_DEVICE_CD_ROM, FILE_REMOVABLE_MEDIA | FILE_READ_ONLY_DEVICE, DRIVE_CDROM},
      {FILE_DEVICE_NETWORK_FILE_SYSTEM, 0, DRIVE_REMOTE},
      {FILE_DEVICE_DISK, FILE_REMOTE_DEVICE, DRIVE_REMOTE},
      {FILE_DEVICE_UNKNOWN, 0, DRIVE_UNKNOWN},
  };
  for (const Case& c : cases) EXPECT_EQ(nb::win::DriveTypeOf(c.deviceType, c.characteristics), c.driveType);
  EXPECT_EQ(nb::win::MultiStringLength({u"ab", u"c"}), 6u);
}

class VolumeCallsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nbvolcalls-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    top_ = pattern;
    ASSERT_EQ(Add('C', VolumeType::kFixed, 0xC0FFEE01), STATUS_SUCCESS);
    std::filesystem::create_directories(top_ / "C" / "Data");
    ASSERT_EQ(Add('E', VolumeType::kRemovable, 0xE0E0E0E0), STATUS_SUCCESS);
    ASSERT_EQ(Add('R', VolumeType::kCdRom, 0), STATUS_SUCCESS);
    ASSERT_EQ(Add('Z', VolumeType::kRemote, 0), STATUS_SUCCESS);
    // S: is C:\Data substituted.
    UNICODE_STRING subst;
    UNICODE_STRING target;
    RtlInitUnicodeString(&subst, u"\\DosDevices\\S:");
    RtlInitUnicodeString(&target, u"\\??\\C:\\Data");
    ASSERT_EQ(IoCreateSymbolicLink(&subst, &target), STATUS_SUCCESS);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(top_, ignored);
  }
  NTSTATUS Add(char letter, VolumeType type, ULONG serial) {
    nb::kernel::VolumeParameters parameters;
    parameters.letter = letter;
    parameters.type = type;
    parameters.serial = serial;
    parameters.hostFolder = (top_ / std::string(1, letter)).string();
    std::filesystem::create_directories(parameters.hostFolder);
    return machine_.AddVolume(parameters);
  }

  nb::testing::Machine machine_;
  nb::win::InProcessTransport transport_;
  nb::win::ScopedTransport installed_{transport_};
  std::filesystem::path top_;
};

TEST_F(VolumeCallsTest, LogicalDrivesAndTheirTypes) {
  EXPECT_EQ(GetLogicalDrives(), (1u << 2) | (1u << 4) | (1u << 17) | (1u << 18) | (1u << 25));
  struct Case {
    const char16_t* root;
    UINT type;
  };
  const Case cases[] = {
      {u"C:\\", DRIVE_FIXED},      {u"e:", DRIVE_REMOVABLE},     {u"R:\\", DRIVE_CDROM},
      {u"Z:\\", DRIVE_REMOTE},     {u"S:\\", DRIVE_FIXED},       {u"Q:\\", DRIVE_NO_ROOT_DIR},
      {u"C:\\Data", DRIVE_NO_ROOT_DIR},
  };
  for (const Case& c : cases) EXPECT_EQ(GetDriveTypeW(c.root), c.type) << static_cast<char>(c.root[0]);
  EXPECT_EQ(GetDriveTypeW(nullptr), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
}

TEST_F(VolumeCallsTest, VolumeInformationGivesSerialAndFileSystem) {
  WCHAR label[32];
  WCHAR fileSystem[16];
  DWORD serial = 0;
  DWORD maximumComponent = 0;
  DWORD flags = 0;
  ASSERT_TRUE(GetVolumeInformationW(u"C:\\", label, 32, &serial, &maximumComponent, &flags, fileSystem, 16));
  EXPECT_EQ(serial, 0xC0FFEE01u);
  EXPECT_EQ(std::u16string(fileSystem), u"NTFS");
  EXPECT_EQ(std::u16string(label), u"");
  EXPECT_EQ(maximumComponent, 255u);
  EXPECT_TRUE(flags & FILE_CASE_PRESERVED_NAMES);
  ASSERT_TRUE(GetVolumeInformationW(u"\\\\.\\E:\\", nullptr, 0, &serial, nullptr, nullptr, fileSystem, 16));
  EXPECT_EQ(serial, 0xE0E0E0E0u);
  EXPECT_EQ(std::u16string(fileSystem), u"FAT");

  struct Case {
    const char16_t* root;
    DWORD error;
  };
  const Case failures[] = {
      {u"C:", ERROR_INVALID_NAME},
      {u"Q:\\", ERROR_FILE_NOT_FOUND},
      {u"R:\\", ERROR_UNRECOGNIZED_VOLUME},  // a CD drive without a mountable medium
  };
  for (const Case& c : failures) {
    SetLastError(0);
    EXPECT_FALSE(GetVolumeInformationW(c.root, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0)) << static_cast<char>(c.root[0]);
    EXPECT_EQ(GetLastError(), c.error) << static_cast<char>(c.root[0]);
  }
  EXPECT_FALSE(GetVolumeInformationW(u"C:\\", nullptr, 0, nullptr, nullptr, nullptr, fileSystem, 4));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_LENGTH)) << "\"NTFS\" and its NUL need 5";
}

TEST_F(VolumeCallsTest, QueryDosDeviceGivesTargetsAsListsOfStrings) {
  WCHAR target[256];
  DWORD stored = QueryDosDeviceW(u"C:", target, 256);
  std::u16string device(target);
  EXPECT_EQ(device.rfind(u"\\Device\\HarddiskVolume", 0), 0u);
  EXPECT_EQ(stored, device.size() + 2);
  EXPECT_EQ(target[device.size() + 1], 0);
  ASSERT_NE(QueryDosDeviceW(u"S:", target, 256), 0u);
  EXPECT_EQ(std::u16string(target), u"\\??\\C:\\Data");
  EXPECT_EQ(QueryDosDeviceW(u"Q:", target, 256), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(QueryDosDeviceW(u"C:", target, static_cast<DWORD>(device.size() + 1)), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

  std::vector<WCHAR> all(4096);
  DWORD length = QueryDosDeviceW(nullptr, all.data(), static_cast<DWORD>(all.size()));
  ASSERT_GT(length, 0u);
  std::vector<std::u16string> names;
  for (const WCHAR* at = all.data(); *at; at += names.back().size() + 1) names.emplace_back(at);
  EXPECT_THAT(names, Contains(u"C:"));
  EXPECT_THAT(names, Contains(u"MountPointManager"));
}

// The letter under which the mount manager knows the volume behind `drive`, or `drive`
// itself, found as the lock SDK finds it.
WCHAR RealDrive(WCHAR drive) {
  WCHAR name[3] = {drive, u':', 0};
  WCHAR device[512];
  if (!QueryDosDeviceW(name, device, 512)) return drive;
  HANDLE manager = CreateFileW(MOUNTMGR_DOS_DEVICE_NAME, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
  if (manager == INVALID_HANDLE_VALUE) return drive;
  size_t deviceBytes = std::char_traits<char16_t>::length(device) * sizeof(WCHAR);
  std::vector<UCHAR> query(sizeof(MOUNTMGR_MOUNT_POINT) + deviceBytes);
  MOUNTMGR_MOUNT_POINT point{};
  point.DeviceNameOffset = sizeof point;
  point.DeviceNameLength = static_cast<USHORT>(deviceBytes);
  std::memcpy(query.data(), &point, sizeof point);
  std::memcpy(query.data() + sizeof point, device, deviceBytes);
  alignas(8) UCHAR answer[2048];
  DWORD returned = 0;
  BOOL ok = DeviceIoControl(manager, IOCTL_MOUNTMGR_QUERY_POINTS, query.data(), static_cast<DWORD>(query.size()),
                            answer, sizeof answer, &returned, nullptr);
  CloseHandle(manager);
  if (!ok) return drive;
  MOUNTMGR_MOUNT_POINTS header;
  std::memcpy(&header, answer, 8);
  for (ULONG i = 0; i < header.NumberOfMountPoints; ++i) {
    std::memcpy(&point, answer + 8 + i * sizeof point, sizeof point);
    if (point.SymbolicLinkNameLength != 28 || point.UniqueIdLength <= 11) continue;
    std::u16string link(reinterpret_cast<const char16_t*>(answer + point.SymbolicLinkNameOffset), 14);
    if (link.rfind(u"\\DosDevices\\", 0) == 0 && link[12] >= u'A' && link[12] <= u'Z' && link[13] == u':')
      return link[12];
  }
  return drive;
}

TEST_F(VolumeCallsTest, TheMountManagerNamesTheLetterOfAVolumeAndNothingForASubstitute) {
  EXPECT_EQ(RealDrive(u'C'), u'C');
  EXPECT_EQ(RealDrive(u'E'), u'E');
  EXPECT_EQ(RealDrive(u'R'), u'R');
  // No mount point: the letter comes back unchanged.
  EXPECT_EQ(RealDrive(u'S'), u'S');
  EXPECT_EQ(RealDrive(u'Z'), u'Z');
  // A second letter for the same volume resolves to the one the mount manager holds.
  UNICODE_STRING alias;
  UNICODE_STRING target;
  RtlInitUnicodeString(&alias, u"\\DosDevices\\K:");
  std::u16string device = machine_.Kernel().Namespace().LinkTarget(u"\\DosDevices\\E:").value();
  RtlInitUnicodeString(&target, device.c_str());
  ASSERT_EQ(IoCreateSymbolicLink(&alias, &target), STATUS_SUCCESS);
  EXPECT_EQ(RealDrive(u'K'), u'E');
}

}  // namespace
