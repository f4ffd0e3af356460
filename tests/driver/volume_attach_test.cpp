// Attachment to file systems and volumes, the load sequence's failure paths, fast I/O on
// a locked open file and the tear-down when a volume goes away.
#include <barrier>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fastio.h"
#include "host_volume_fixture.h"
#include "nbfs_volumes.h"

namespace nbfs_test {
namespace {

using nb::kernel::VolumeType;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;

// A stand-in file system that registers control devices of the kinds a test asks for.
NTSTATUS CompleteSuccess(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}
NTSTATUS OtherDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& routine : driver->MajorFunction) routine = CompleteSuccess;
  return STATUS_SUCCESS;
}
PDEVICE_OBJECT NewDevice(PDRIVER_OBJECT driver, ULONG type) {
  PDEVICE_OBJECT device = nullptr;
  EXPECT_EQ(IoCreateDevice(driver, 0, nullptr, type, 0, FALSE, &device), STATUS_SUCCESS);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return device;
}

bool IsOwnFsFilter(PDEVICE_OBJECT device, PDRIVER_OBJECT driver, PDEVICE_OBJECT below) {
  VolumeRecord* record = VolumeOf(device);
  return device->DriverObject == driver && record->magic == NBFS_VOLUME_MAGIC &&
         (record->state & VOLUME_STATE_FS_FILTER) && record->attached == 1 && record->active == 0 &&
         record->lower == below && IsListEmpty(&record->entries) && device->DeviceType == FILE_DEVICE_DISK_FILE_SYSTEM &&
         !(device->Flags & DO_DEVICE_INITIALIZING);
}

TEST_F(NbfsVolumesTest, LoadPutsOneFilterOnEveryDiskFileSystem) {
  for (const char16_t* name : {u"\\Ntfs", u"\\Fat"}) {
    PDEVICE_OBJECT fileSystem = machine.Device(name);
    std::vector<PDEVICE_OBJECT> stack = VolumesMachine::Above(fileSystem);
    ASSERT_EQ(stack.size(), 1u);
    EXPECT_TRUE(IsOwnFsFilter(stack[0], driver, fileSystem));
  }
  // File-system filters are not drives.
  EXPECT_EQ(DriveLetters(), "");
}

TEST_F(NbfsVolumesTest, FileSystemsComingLaterAreAttachedAndLeftWhenTheyGo) {
  PDRIVER_OBJECT other;
  ASSERT_EQ(machine.LoadDriver(u"\\FileSystem\\Other", OtherDriverEntry, &other), STATUS_SUCCESS);
  PDEVICE_OBJECT disk = NewDevice(other, FILE_DEVICE_DISK_FILE_SYSTEM);
  PDEVICE_OBJECT cdrom = NewDevice(other, FILE_DEVICE_CD_ROM_FILE_SYSTEM);
  size_t devices = VolumesMachine::DeviceCount(driver);
  IoRegisterFileSystem(disk);
  IoRegisterFileSystem(cdrom);
  ASSERT_EQ(VolumesMachine::Above(disk).size(), 1u);
  EXPECT_TRUE(IsOwnFsFilter(disk->AttachedDevice, driver, disk));
  EXPECT_THAT(VolumesMachine::Above(cdrom), IsEmpty()) << "CD-ROM file systems are left alone";

  IoUnregisterFileSystem(disk);
  EXPECT_THAT(VolumesMachine::Above(disk), IsEmpty());
  EXPECT_EQ(VolumesMachine::DeviceCount(driver), devices);

  // With another device attached above the filter, the filter is detached but kept.
  IoRegisterFileSystem(disk);
  PDEVICE_OBJECT filter = disk->AttachedDevice;
  PDEVICE_OBJECT foreign = NewDevice(other, FILE_DEVICE_DISK_FILE_SYSTEM);
  ASSERT_EQ(IoAttachDeviceToDeviceStack(foreign, disk), filter);
  IoUnregisterFileSystem(disk);
  EXPECT_EQ(disk->AttachedDevice, nullptr);
  EXPECT_EQ(filter->AttachedDevice, foreign);
  EXPECT_EQ(VolumeOf(filter)->attached, 0);
  EXPECT_EQ(VolumesMachine::DeviceCount(driver), devices + 1);  // deleted at unload
  IoUnregisterFileSystem(cdrom);
}

// Two notifications of one file system going at once: finding, detaching and deleting
// the filter are one step under the attach lock, so it goes once (run under the sanitizers).
TEST_F(NbfsVolumesTest, ConcurrentNotificationsOfAFileSystemGoingDeleteItsFilterOnce) {
  PDRIVER_OBJECT other;
  ASSERT_EQ(machine.LoadDriver(u"\\FileSystem\\Other", OtherDriverEntry, &other), STATUS_SUCCESS);
  PDEVICE_OBJECT disk = NewDevice(other, FILE_DEVICE_DISK_FILE_SYSTEM);
  size_t devices = VolumesMachine::DeviceCount(driver);
  for (int round = 0; round < 100; ++round) {
    nbfsNotify(disk, TRUE);
    ASSERT_EQ(VolumesMachine::Above(disk).size(), 1u);
    std::barrier sync(2);
    auto going = [&] {
      sync.arrive_and_wait();
      nbfsNotify(disk, FALSE);
    };
    std::thread first(going);
    std::thread second(going);
    first.join();
    second.join();
    ASSERT_THAT(VolumesMachine::Above(disk), IsEmpty());
    ASSERT_EQ(VolumesMachine::DeviceCount(driver), devices) << round;
  }
}

TEST_F(NbfsVolumesTest, RegisterFsAttachesOnceAndLogsTheAbsentUdfs) {
  PDEVICE_OBJECT ntfs = machine.Device(u"\\Ntfs");
  PDEVICE_OBJECT fat = machine.Device(u"\\Fat");
  ASSERT_EQ(Control(REGFS, nullptr, 0), STATUS_SUCCESS);
  EXPECT_THAT(Messages(), ElementsAre("nbfsRegisterFs: registering FS... \n", "nbfsRegisterFs: register NTFS success\n",
                                      "nbfsRegisterFs: register FAT success\n",
                                      "nbfsAttachFileSystem: cannot open \\UdfsDisk\n",
                                      "DoRegisterFs: cannot get fsdevice(\\UdfsDisk), errcode=c0000034\n",
                                      "nbfsRegisterFs: cannot register UDF, err=0xc0000034\n"));
  // Each goes on top of what the file system's stack already had.
  std::vector<PDEVICE_OBJECT> stack = VolumesMachine::Above(ntfs);
  ASSERT_EQ(stack.size(), 2u);
  EXPECT_TRUE(IsOwnFsFilter(stack[1], driver, stack[0]));
  ASSERT_EQ(VolumesMachine::Above(fat).size(), 2u);

  size_t devices = VolumesMachine::DeviceCount(driver);
  ASSERT_EQ(Control(REGFS, nullptr, 0), STATUS_SUCCESS);
  EXPECT_THAT(Messages(), ElementsAre("nbfsRegisterFs: already register FS\n"));
  EXPECT_EQ(VolumesMachine::DeviceCount(driver), devices);
  EXPECT_EQ(VolumesMachine::Above(ntfs).size(), 2u);
}

TEST_F(NbfsVolumesTest, AddServiceAttachesOnTopOfTheMountedVolume) {
  ASSERT_EQ(machine.AddFolderVolume('E'), STATUS_SUCCESS);
  PDEVICE_OBJECT volume = machine.VolumeDevice('E');
  ASSERT_NE(volume, nullptr);
  ASSERT_EQ(Control(ADD_SERVICE, Entry('E')), STATUS_SUCCESS);
  std::vector<PDEVICE_OBJECT> stack = VolumesMachine::Above(volume);
  ASSERT_EQ(stack.size(), 1u);
  PDEVICE_OBJECT filter = stack[0];
  VolumeRecord* record = VolumeOf(filter);
  EXPECT_EQ(filter->DriverObject, driver);
  EXPECT_EQ(filter->DeviceType, volume->DeviceType);
  EXPECT_FALSE(filter->Flags & DO_DEVICE_INITIALIZING);
  EXPECT_EQ(record->magic, NBFS_VOLUME_MAGIC);
  EXPECT_EQ(record->lower, volume);
  EXPECT_EQ(record->letter, 'E');
  EXPECT_EQ(record->state & VOLUME_STATE_FS_FILTER, 0u);
  EXPECT_EQ(record->attached, 1);
  EXPECT_EQ(record->active, 1);
  EXPECT_EQ(DriveLetters(), "E");
}

TEST_F(NbfsVolumesTest, AddServiceWithoutAMountedVolumeFailsWithTheOpenStatus) {
  // An empty CD drive: a letter whose medium no file system mounted.
  ASSERT_EQ(machine.AddFolderVolume('R', VolumeType::kCdRom), STATUS_SUCCESS);
  struct Case {
    char letter;
    NTSTATUS status;
    const char* code;
  };
  for (const Case& c : {Case{'Q', STATUS_OBJECT_NAME_NOT_FOUND, "c0000034"},
                        Case{'R', STATUS_UNRECOGNIZED_VOLUME, "c000014f"}}) {
    size_t devices = VolumesMachine::DeviceCount(driver);
    EXPECT_EQ(Control(ADD_SERVICE, Entry(c.letter)), c.status) << c.letter;
    std::string letter(1, c.letter);
    EXPECT_THAT(Messages(),
                ElementsAre("GetFSD: cannot open [\\DosDevices\\" + letter + ":\\]\n",
                            "cannot attach device, since cannot get filesystem deviceobject, errcode=" +
                                std::string(c.code) + "\n",
                            "cannot attach device(" + letter + ":), err=" + c.code + "\n"));
    EXPECT_EQ(VolumesMachine::DeviceCount(driver), devices);
    EXPECT_EQ(DriveLetters(), "");
  }
}

TEST_F(NbfsVolumesTest, EveryAllocationFailureOfAnAttachLeavesNothingBehind) {
  ASSERT_EQ(machine.AddFolderVolume('E'), STATUS_SUCCESS);
  auto& pool = machine.Kernel().Pool();
  size_t devices = VolumesMachine::DeviceCount(driver);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  for (long failAfter = 0; !NT_SUCCESS(status) && failAfter < 20; ++failAfter) {
    size_t outstanding = pool.Outstanding();
    pool.FailAfter(failAfter);
    status = Control(ADD_SERVICE, Entry('E'));
    pool.FailAfter(-1);
    if (NT_SUCCESS(status)) break;
    EXPECT_EQ(pool.Outstanding(), outstanding) << failAfter;
    EXPECT_EQ(VolumesMachine::DeviceCount(driver), devices) << failAfter;
    EXPECT_EQ(DriveLetters(), "");
  }
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(DriveLetters(), "E");
}

TEST_F(NbfsVolumesTest, TheMountOfANewVolumePulsesDeviceNotify) {
  OpenServiceEvents();
  OpenNbdvEvent();
  ASSERT_EQ(machine.AddFolderVolume('G', VolumeType::kRemovable), STATUS_SUCCESS);
  EXPECT_EQ(devicePulses->Settle(), 1);
  EXPECT_EQ(nbdvPulses->Settle(), 1);
  ASSERT_EQ(machine.AddFolderVolume('H'), STATUS_SUCCESS);
  EXPECT_EQ(devicePulses->Settle(), 2);
  EXPECT_EQ(nbdvPulses->Settle(), 2);
}

NBFS_PROC Trusted(char letter, const std::u16string& path) {
  NBFS_PROC proc{};
  proc.letter = static_cast<UCHAR>(letter);
  path.copy(reinterpret_cast<char16_t*>(proc.path), NBFS_PATH_UNITS - 1);
  proc.permission = NBFS_PERMISSION_FULL;
  proc.pid = 1000;
  std::memcpy(proc.name, "NBSvc.exe", 10);
  return proc;
}

TEST_F(NbfsVolumesTest, RemovingARegisteredRemovableVolumeFreesEverythingAndPulses) {
  ASSERT_EQ(machine.AddFolderVolume('F', VolumeType::kRemovable), STATUS_SUCCESS);
  ASSERT_EQ(machine.AddFolderVolume('G', VolumeType::kRemovable), STATUS_SUCCESS);
  ASSERT_EQ(machine.AddFolderVolume('E'), STATUS_SUCCESS);
  ASSERT_EQ(Control(ADD_SERVICE, Entry('E')), STATUS_SUCCESS);
  OpenServiceEvents();
  OpenNbdvEvent();
  auto& pool = machine.Kernel().Pool();
  size_t baseline = pool.Outstanding();
  size_t devices = VolumesMachine::DeviceCount(driver);
  // F holds locked folders with their trusted processes, G a drive-wide lock with its own.
  ASSERT_EQ(Control(ADD_SERVICE, Entry('F')), STATUS_SUCCESS);
  ASSERT_EQ(Control(ADD_ENTRY, Entry('F', u"\\A", NBFS_LOCK_NOACCESS)), STATUS_SUCCESS);
  ASSERT_EQ(Control(ADD_ENTRY, Entry('F', u"\\B", NBFS_LOCK_READONLY)), STATUS_SUCCESS);
  ASSERT_EQ(Control(ADD_SERVICE, Entry('G', u"", NBFS_LOCK_NOACCESS)), STATUS_SUCCESS);
  for (NBFS_PROC proc : {Trusted('F', u"\\A"), Trusted('F', u"\\B"), Trusted('G', u"")})
    ASSERT_EQ(Control(ADD_PROC, &proc, sizeof proc), STATUS_SUCCESS);
  EXPECT_EQ(DriveLetters(), "EFG");
  ASSERT_THAT(Messages(), IsEmpty());

  ASSERT_EQ(machine.RemoveVolume('F'), STATUS_SUCCESS);
  EXPECT_EQ(DriveLetters(), "EG");
  EXPECT_THAT(Messages(), ElementsAre(StartsWith("WARN FastIoDetach enter, target=0x")));
  EXPECT_EQ(devicePulses->Settle(), 1);
  EXPECT_EQ(nbdvPulses->Settle(), 1);
  ASSERT_EQ(machine.RemoveVolume('G'), STATUS_SUCCESS);
  EXPECT_EQ(DriveLetters(), "E");
  EXPECT_EQ(devicePulses->Settle(), 2);
  EXPECT_EQ(nbdvPulses->Settle(), 2);
  EXPECT_EQ(pool.Outstanding(), baseline) << "entries and trusted processes are freed";
  EXPECT_EQ(VolumesMachine::DeviceCount(driver), devices);
  // The letter went with its volume.
  EXPECT_EQ(Control(ADD_SERVICE, Entry('F')), STATUS_OBJECT_NAME_NOT_FOUND);
}

using nb::hostfs::testing::Opened;

TEST_F(NbfsVolumesTest, AFastIoReadOfALockedOpenFileComesAsAnIrpAndIsChecked) {
  ASSERT_EQ(machine.AddFolderVolume('E'), STATUS_SUCCESS);
  std::filesystem::create_directories(machine.Folder('E') / "Locked");
  std::ofstream(machine.Folder('E') / "Locked" / "f.txt") << "content";
  ASSERT_EQ(Control(ADD_SERVICE, Entry('E')), STATUS_SUCCESS);
  PEPROCESS app = machine.Process("app.exe", 2000);
  nb::kernel::ProcessScope scope(app);
  nb::kernel::OpenParameters parameters;
  parameters.desiredAccess = FILE_READ_DATA | SYNCHRONIZE;
  parameters.options = FILE_SYNCHRONOUS_IO_NONALERT;
  Opened cached;
  Opened uncached;
  ASSERT_EQ(nb::kernel::OpenFile(u"\\DosDevices\\E:\\Locked\\f.txt", parameters, cached.Out()), STATUS_SUCCESS);
  ASSERT_EQ(nb::kernel::OpenFile(u"\\DosDevices\\E:\\Locked\\f.txt", parameters, uncached.Out()), STATUS_SUCCESS);
  char buffer[16] = {};
  ULONG read = 0;
  ASSERT_EQ(nb::kernel::ReadFile(cached.get(), buffer, 3, 0, &read), STATUS_SUCCESS);  // an IRP: now cached
  ASSERT_NE(cached.get()->PrivateCacheMap, nullptr);

  ASSERT_EQ(Control(ADD_ENTRY, Entry('E', u"\\Locked", NBFS_LOCK_NOACCESS)), STATUS_SUCCESS);
  // The cached file's read is declined by fast I/O and refused as an IRP, like the other.
  EXPECT_EQ(nb::kernel::ReadFile(uncached.get(), buffer, sizeof buffer, 0, &read), STATUS_ACCESS_DENIED);
  EXPECT_EQ(nb::kernel::ReadFile(cached.get(), buffer, sizeof buffer, 0, &read), STATUS_ACCESS_DENIED);
}

}  // namespace
}  // namespace nbfs_test
