// The volume manager: arrivals of each kind of volume, removal through the file system and
// the filters above it, volume-interface notifications and the mount manager's device.
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "nb/kernel/file_requests.h"
#include "nb/kernel/io.h"
#include "nb/kernel/object_namespace.h"
#include "nb/kernel/volumes.h"
#include "nb/testing/machine.h"

namespace nb::kernel {
namespace {

using ::testing::ElementsAre;

// A pass-through filter that records the FastIoDetachDevice it gets and goes away then.
struct FilterExtension {
  PDEVICE_OBJECT lower;
};
std::vector<std::pair<PDEVICE_OBJECT, PDEVICE_OBJECT>> detaches;

NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(static_cast<FilterExtension*>(device->DeviceExtension)->lower, irp);
}
VOID RecordDetach(PDEVICE_OBJECT source, PDEVICE_OBJECT target) {
  detaches.emplace_back(source, target);
  IoDetachDevice(target);
  IoDeleteDevice(source);
}
FAST_IO_DISPATCH filterFastIo;
NTSTATUS FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& routine : driver->MajorFunction) routine = PassDown;
  filterFastIo = FAST_IO_DISPATCH{};
  filterFastIo.SizeOfFastIoDispatch = sizeof filterFastIo;
  filterFastIo.FastIoDetachDevice = RecordDetach;
  driver->FastIoDispatch = &filterFastIo;
  return STATUS_SUCCESS;
}

// Volume-interface notifications as "+name" and "-name".
std::vector<std::u16string> interfaceEvents;
NTSTATUS RecordInterface(PVOID notification, PVOID) {
  auto* change = static_cast<PDEVICE_INTERFACE_CHANGE_NOTIFICATION>(notification);
  EXPECT_TRUE(IsEqualGUID(change->InterfaceClassGuid, GUID_DEVINTERFACE_VOLUME));
  std::u16string name(change->SymbolicLinkName->Buffer, change->SymbolicLinkName->Length / 2);
  interfaceEvents.push_back((IsEqualGUID(change->Event, GUID_DEVICE_INTERFACE_ARRIVAL) ? u"+" : u"-") + name);
  return STATUS_SUCCESS;
}

class VolumeManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nbvolmgr-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    top_ = pattern;
    detaches.clear();
    interfaceEvents.clear();
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(top_, ignored);
  }

  NTSTATUS Add(char letter, VolumeType type, ULONG serial = 0, PDEVICE_OBJECT* storage = nullptr) {
    VolumeParameters parameters;
    parameters.letter = letter;
    parameters.type = type;
    parameters.serial = serial;
    parameters.hostFolder = (top_ / std::string(1, letter)).string();
    std::filesystem::create_directories(parameters.hostFolder);
    return machine_.AddVolume(parameters, storage);
  }
  VolumeInfo Info(char letter) {
    for (const VolumeInfo& info : machine_.Volumes().Volumes()) {
      if (info.letter == letter) return info;
    }
    ADD_FAILURE() << "no volume " << letter;
    return VolumeInfo{};
  }
  std::u16string LinkOf(const std::u16string& name) {
    return machine_.Kernel().Namespace().LinkTarget(name).value_or(u"(none)");
  }
  // IOCTL_MOUNTMGR_QUERY_POINTS for a device name; the links it returns.
  NTSTATUS QueryPoints(std::u16string_view deviceName, std::vector<std::u16string>* links,
                       std::vector<USHORT>* idLengths = nullptr) {
    std::vector<UCHAR> input(sizeof(MOUNTMGR_MOUNT_POINT) + deviceName.size() * 2);
    MOUNTMGR_MOUNT_POINT query{};
    query.DeviceNameOffset = sizeof query;
    query.DeviceNameLength = static_cast<USHORT>(deviceName.size() * 2);
    std::memcpy(input.data(), &query, sizeof query);
    std::memcpy(input.data() + sizeof query, deviceName.data(), deviceName.size() * 2);
    alignas(8) UCHAR output[2048];
    NTSTATUS status = machine_.DeviceControl(u"\\DosDevices\\MountPointManager", IOCTL_MOUNTMGR_QUERY_POINTS,
                                             input.data(), static_cast<ULONG>(input.size()), output, sizeof output);
    links->clear();
    if (!NT_SUCCESS(status)) return status;
    MOUNTMGR_MOUNT_POINTS header;
    std::memcpy(&header, output, 8);
    for (ULONG i = 0; i < header.NumberOfMountPoints; ++i) {
      MOUNTMGR_MOUNT_POINT point;
      std::memcpy(&point, output + 8 + i * sizeof point, sizeof point);
      links->emplace_back(reinterpret_cast<const char16_t*>(output + point.SymbolicLinkNameOffset),
                          point.SymbolicLinkNameLength / 2);
      if (idLengths) idLengths->push_back(point.UniqueIdLength);
    }
    return status;
  }

  testing::Machine machine_;
  std::filesystem::path top_;
};

TEST_F(VolumeManagerTest, EachKindOfVolumeArrivesWithItsDeviceAndNames) {
  struct Case {
    char letter;
    VolumeType type;
    ULONG deviceType;
    ULONG characteristics;
    bool mounted;
  };
  const Case cases[] = {
      {'C', VolumeType::kFixed, FILE_DEVICE_DISK, 0, true},
      {'E', VolumeType::kRemovable, FILE_DEVICE_DISK, FILE_REMOVABLE_MEDIA, true},
      // No CD-ROM file system is registered: the drive is there, its medium unmounted.
      {'R', VolumeType::kCdRom, FILE_DEVICE_CD_ROM, FILE_REMOVABLE_MEDIA | FILE_READ_ONLY_DEVICE, false},
  };
  for (const Case& c : cases) {
    PDEVICE_OBJECT storage;
    ASSERT_EQ(Add(c.letter, c.type, 0, &storage), STATUS_SUCCESS) << c.letter;
    VolumeInfo info = Info(c.letter);
    EXPECT_EQ(info.storage, storage);
    EXPECT_EQ(storage->DeviceType, c.deviceType);
    EXPECT_EQ(storage->Characteristics, c.characteristics);
    EXPECT_EQ(info.mounted, c.mounted);
    EXPECT_EQ((storage->Vpb->Flags & VPB_MOUNTED) != 0, c.mounted);
    EXPECT_EQ(LinkOf(u"\\DosDevices\\" + std::u16string(1, c.letter) + u":"), info.deviceName);
    EXPECT_EQ(LinkOf(info.volumeName), info.deviceName);
    EXPECT_EQ(info.volumeName.rfind(u"\\??\\Volume{", 0), 0u);
    EXPECT_EQ(info.volumeName.size(), 48u);
  }
  EXPECT_EQ(Info('R').deviceName, u"\\Device\\CdRom0");
  EXPECT_EQ(Info('C').deviceName.rfind(u"\\Device\\HarddiskVolume", 0), 0u);
  // The serial a medium is given is what its file system reports.
  PDEVICE_OBJECT storage;
  ASSERT_EQ(Add('F', VolumeType::kFixed, 0x1234ABCD, &storage), STATUS_SUCCESS);
  EXPECT_EQ(storage->Vpb->SerialNumber, 0x1234ABCDu);
  EXPECT_EQ(Info('F').serial, 0x1234ABCDu);
  EXPECT_NE(Info('C').serial, Info('E').serial);

  ASSERT_EQ(Add('Z', VolumeType::kRemote), STATUS_SUCCESS);
  EXPECT_EQ(LinkOf(u"\\DosDevices\\Z:"), u"\\Device\\LanmanRedirector\\;Z:0\\server\\share");
  EXPECT_EQ(Info('Z').storage, nullptr);
}

TEST_F(VolumeManagerTest, AnUnmountedMediumOpensOnlyAsAVolume) {
  ASSERT_EQ(Add('R', VolumeType::kCdRom), STATUS_SUCCESS);
  PFILE_OBJECT file;
  EXPECT_EQ(OpenFile(u"\\DosDevices\\R:\\", OpenParameters{}, &file), STATUS_UNRECOGNIZED_VOLUME);
  ASSERT_EQ(OpenFile(u"\\DosDevices\\R:", OpenParameters{}, &file), STATUS_SUCCESS);
  FILE_FS_DEVICE_INFORMATION device{};
  EXPECT_EQ(QueryVolumeInformation(file, FileFsDeviceInformation, &device, sizeof device), STATUS_SUCCESS);
  EXPECT_EQ(device.DeviceType, static_cast<ULONG>(FILE_DEVICE_CD_ROM));
  EXPECT_FALSE(device.Characteristics & FILE_DEVICE_IS_MOUNTED);
  CloseFile(file);
}

TEST_F(VolumeManagerTest, ArrivalsRefuseBadLettersTakenLettersAndMissingFolders) {
  ASSERT_EQ(Add('C', VolumeType::kFixed), STATUS_SUCCESS);
  EXPECT_EQ(Add('c', VolumeType::kRemovable), STATUS_OBJECT_NAME_COLLISION);
  UNICODE_STRING subst;
  UNICODE_STRING target;
  RtlInitUnicodeString(&subst, u"\\DosDevices\\S:");
  RtlInitUnicodeString(&target, u"\\??\\C:\\Data");
  ASSERT_EQ(IoCreateSymbolicLink(&subst, &target), STATUS_SUCCESS);
  EXPECT_EQ(Add('S', VolumeType::kFixed), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(Add('1', VolumeType::kFixed), STATUS_INVALID_PARAMETER);
  VolumeParameters missing;
  missing.letter = 'M';
  missing.hostFolder = (top_ / "absent").string();
  size_t devices = machine_.Kernel().Namespace().List(u"\\Device").size();
  EXPECT_EQ(machine_.AddVolume(missing), STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(machine_.Kernel().Namespace().List(u"\\Device").size(), devices);
  EXPECT_EQ(LinkOf(u"\\DosDevices\\M:"), u"(none)");
}

TEST_F(VolumeManagerTest, RemovalDismountsTheVolumeAndTellsTheFilterAboveIt) {
  PDEVICE_OBJECT storage;
  ASSERT_EQ(Add('E', VolumeType::kRemovable, 0, &storage), STATUS_SUCCESS);
  std::ofstream(top_ / "E" / "f.txt") << "data";
  PDEVICE_OBJECT volume = storage->Vpb->DeviceObject;
  PDRIVER_OBJECT filterDriver;
  ASSERT_EQ(machine_.LoadDriver(u"\\Driver\\Filter", FilterEntry, &filterDriver), STATUS_SUCCESS);
  PDEVICE_OBJECT filter;
  ASSERT_EQ(IoCreateDevice(filterDriver, sizeof(FilterExtension), nullptr, volume->DeviceType, 0, FALSE, &filter),
            STATUS_SUCCESS);
  static_cast<FilterExtension*>(filter->DeviceExtension)->lower = IoAttachDeviceToDeviceStack(filter, volume);
  OpenParameters parameters;
  parameters.desiredAccess = FILE_READ_DATA | SYNCHRONIZE;
  parameters.options = FILE_SYNCHRONOUS_IO_NONALERT;
  PFILE_OBJECT open;
  ASSERT_EQ(OpenFile(u"\\DosDevices\\E:\\f.txt", parameters, &open), STATUS_SUCCESS);

  ASSERT_EQ(machine_.RemoveVolume('e'), STATUS_SUCCESS);
  ASSERT_EQ(detaches.size(), 1u);
  EXPECT_EQ(detaches[0].first, filter);
  EXPECT_EQ(detaches[0].second, volume);
  EXPECT_FALSE(storage->Vpb->Flags & VPB_MOUNTED);
  EXPECT_EQ(storage->Vpb->DeviceObject, nullptr);
  EXPECT_EQ(LinkOf(u"\\DosDevices\\E:"), u"(none)");
  EXPECT_TRUE(machine_.Volumes().Volumes().empty());
  // A file opened before stays a valid object: requests fail, closing works.
  char buffer[4];
  EXPECT_FALSE(NT_SUCCESS(ReadFile(open, buffer, sizeof buffer, 0)));
  CloseFile(open);
  EXPECT_EQ(machine_.RemoveVolume('E'), STATUS_NO_SUCH_DEVICE);
  // The letter is free for the next medium.
  EXPECT_EQ(Add('E', VolumeType::kRemovable), STATUS_SUCCESS);
}

TEST_F(VolumeManagerTest, VolumeInterfacesAnnounceArrivalsAndRemovals) {
  ASSERT_EQ(Add('C', VolumeType::kFixed), STATUS_SUCCESS);
  std::u16string first = Info('C').volumeName;
  GUID volumeClass = GUID_DEVINTERFACE_VOLUME;
  PVOID entry;
  ASSERT_EQ(IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange,
                                           PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES, &volumeClass,
                                           nullptr, RecordInterface, nullptr, &entry),
            STATUS_SUCCESS);
  ASSERT_EQ(Add('E', VolumeType::kRemovable), STATUS_SUCCESS);
  ASSERT_EQ(Add('Z', VolumeType::kRemote), STATUS_SUCCESS);  // no volume interface
  std::u16string second = Info('E').volumeName;
  ASSERT_EQ(machine_.RemoveVolume('E'), STATUS_SUCCESS);
  ASSERT_EQ(machine_.RemoveVolume('Z'), STATUS_SUCCESS);
  EXPECT_THAT(interfaceEvents, ElementsAre(u"+" + first, u"+" + second, u"-" + second));
  ASSERT_EQ(IoUnregisterPlugPlayNotification(entry), STATUS_SUCCESS);
  ASSERT_EQ(machine_.RemoveVolume('C'), STATUS_SUCCESS);
  EXPECT_EQ(interfaceEvents.size(), 3u);
  EXPECT_EQ(IoUnregisterPlugPlayNotification(entry), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(IoRegisterPlugPlayNotification(EventCategoryTargetDeviceChange, 0, &volumeClass, nullptr,
                                           RecordInterface, nullptr, &entry),
            STATUS_NOT_SUPPORTED);
}

TEST_F(VolumeManagerTest, TheMountManagerKnowsVolumesByDeviceName) {
  ASSERT_EQ(Add('C', VolumeType::kFixed), STATUS_SUCCESS);
  ASSERT_EQ(Add('R', VolumeType::kCdRom), STATUS_SUCCESS);
  ASSERT_EQ(Add('Z', VolumeType::kRemote), STATUS_SUCCESS);
  UNICODE_STRING subst;
  UNICODE_STRING target;
  RtlInitUnicodeString(&subst, u"\\DosDevices\\S:");
  RtlInitUnicodeString(&target, u"\\??\\C:\\Data");
  ASSERT_EQ(IoCreateSymbolicLink(&subst, &target), STATUS_SUCCESS);

  std::vector<std::u16string> links;
  std::vector<USHORT> idLengths;
  ASSERT_EQ(QueryPoints(Info('C').deviceName, &links, &idLengths), STATUS_SUCCESS);
  EXPECT_THAT(links, ElementsAre(Info('C').volumeName, u"\\DosDevices\\C:"));
  EXPECT_THAT(idLengths, ElementsAre(12, 12));
  // A drive letter given as the device name stands for its device.
  ASSERT_EQ(QueryPoints(u"\\DosDevices\\R:", &links, &idLengths), STATUS_SUCCESS);
  EXPECT_THAT(links, ElementsAre(Info('R').volumeName, u"\\DosDevices\\R:"));
  EXPECT_GT(idLengths[0], 11);
  // A substituted path, a network drive and an unknown name are no volumes.
  EXPECT_EQ(QueryPoints(LinkOf(u"\\DosDevices\\S:"), &links), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(QueryPoints(LinkOf(u"\\DosDevices\\Z:"), &links), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(QueryPoints(u"\\Device\\Nothing", &links), STATUS_OBJECT_NAME_NOT_FOUND);
  // Everything, when the query names nothing; a removed volume is gone.
  ASSERT_EQ(QueryPoints(u"", &links), STATUS_SUCCESS);
  EXPECT_EQ(links.size(), 4u);
  std::u16string removed = Info('C').deviceName;
  ASSERT_EQ(machine_.RemoveVolume('C'), STATUS_SUCCESS);
  EXPECT_EQ(QueryPoints(removed, &links), STATUS_OBJECT_NAME_NOT_FOUND);
  ASSERT_EQ(QueryPoints(u"", &links), STATUS_SUCCESS);
  EXPECT_EQ(links.size(), 2u);
}

}  // namespace
}  // namespace nb::kernel
