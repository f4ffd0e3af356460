// Volume serials, mount points and removable-device registration through the lock object.
#include <cstring>

#include <ntifs.h>
#include <mountmgr.h>

#include "nb/kernel/object_namespace.h"
#include "request_recorder.h"
#include "vault_fixture.h"

namespace vault_test {
namespace {

using util_test::Quietly;

TEST_F(VaultTest, DriveSerialsOfLocalDrivesOnly) {
  // A: is a fixed disk here, yet never listed; Z: is remote.
  std::filesystem::path a = machine.MakeFolder('C', "\\a-volume");
  nb::kernel::VolumeParameters floppy;
  floppy.letter = 'A';
  floppy.serial = 0xA0A0A0A0;
  floppy.hostFolder = a.string();
  ASSERT_EQ(machine.AddVolume(floppy), STATUS_SUCCESS);
  vault.GetDriveSerial();
  ASSERT_EQ(vault.driveSerial.count, 3);
  EXPECT_EQ(std::u16string(vault.driveSerial.letter, 3), u"CDE");
  EXPECT_EQ(vault.driveSerial.volumeSerial[2], kSerialE);
  EXPECT_EQ(vault.DriveToSerial(u'D'), kSerialD);
  EXPECT_EQ(vault.DriveToSerial(u'Z'), 0u);
  EXPECT_EQ(vault.SerialToDrive(kSerialE), u'E');
  EXPECT_EQ(vault.SerialToDrive(0x12345678), 0);
  EXPECT_TRUE(vault.FindDriveSerial(kSerialC, &vault.driveSerial));
  EXPECT_FALSE(vault.FindDriveSerial(0xA0A0A0A0, &vault.driveSerial));
  _DRIVESERIAL odd{};
  odd.count = 1000;  // never read past the slots
  EXPECT_FALSE(vault.FindDriveSerial(1, &odd));
  DWORD serial = 1;
  vault.GetVolumeSerial(u'Q', &serial);
  EXPECT_EQ(serial, 0u);
}

TEST_F(VaultTest, RealDriveThroughTheMountManager) {
  EXPECT_EQ(vault.GetRealDrive(u'E', false), u'E');
  EXPECT_EQ(vault.GetRealDrive(u'Q', false), u'Q') << "no such drive";
  EXPECT_EQ(vault.GetRealDrive(u'Z', false), u'Z') << "remote";
  // S: is a path substituted: unchanged. K: is a second name of E:'s volume.
  UNICODE_STRING link, target;
  RtlInitUnicodeString(&link, u"\\DosDevices\\S:");
  RtlInitUnicodeString(&target, u"\\??\\D:\\Data");
  ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
  EXPECT_EQ(vault.GetRealDrive(u'S', false), u'S');
  std::u16string device = machine.Kernel().Namespace().LinkTarget(u"\\DosDevices\\E:").value();
  RtlInitUnicodeString(&link, u"\\DosDevices\\K:");
  RtlInitUnicodeString(&target, device.c_str());
  ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
  EXPECT_EQ(vault.GetRealDrive(u'K', false), u'E');
}

// The mount manager's answer is checked before it is read.
TEST_F(VaultTest, ABadMountManagerAnswerLeavesTheLetter) {
  client_test::RequestRecorder recorder;
  ASSERT_EQ(recorder.AttachAbove(machine, MOUNTMGR_DEVICE_NAME), STATUS_SUCCESS);
  std::vector<uint8_t> answer(8 + sizeof(MOUNTMGR_MOUNT_POINT), 0);
  ULONG size = static_cast<ULONG>(answer.size());
  ULONG points = 1;
  MOUNTMGR_MOUNT_POINT point{};
  point.SymbolicLinkNameOffset = 100000;  // far outside the answer
  point.SymbolicLinkNameLength = 28;
  point.UniqueIdOffset = 8;
  point.UniqueIdLength = 16;
  std::memcpy(&answer[0], &size, 4);
  std::memcpy(&answer[4], &points, 4);
  std::memcpy(&answer[8], &point, sizeof point);
  recorder.Answer(IOCTL_MOUNTMGR_QUERY_POINTS, STATUS_SUCCESS, answer);
  EXPECT_EQ(vault.GetRealDrive(u'K', false), u'K');
  // A failed request is not read at all.
  recorder.Answer(IOCTL_MOUNTMGR_QUERY_POINTS, STATUS_INVALID_PARAMETER, answer);
  EXPECT_EQ(vault.GetRealDrive(u'E', false), u'E');
}

TEST_F(VaultTest, AddedDrivesAndLocks) {
  EXPECT_TRUE(vault.CheckAddedDrive(kSerialE, nullptr, 0)) << "an empty list keeps every device";
  _LCK_INFORMAION locks[] = {FolderLock(u'D', u"\\A"), FolderLock(u'E', u"\\B")};
  locks[0].serial = kSerialD;
  locks[1].serial = kSerialE;
  EXPECT_TRUE(vault.CheckAddedDrive(kSerialE, locks, 2));
  EXPECT_FALSE(vault.CheckAddedDrive(kSerialC, locks, 2));
}

// A caller undoing its registration after a failed lock removes only what it registered,
// and removal goes by the lock's serial, wherever the volume is now.
TEST_F(VaultTest, DeviceRegistrationUndoLeavesWhatOthersNeed) {
  _LCK_INFORMAION first = FolderLock(u'E', u"\\A");
  first.serial = kSerialE;
  _LCK_INFORMAION second = FolderLock(u'E', u"\\B");
  second.serial = kSerialE;
  bool registered = false;
  EXPECT_TRUE(Quietly([&] { return vault.AddDevice(&first, true, &registered); }));
  EXPECT_TRUE(registered);
  EXPECT_TRUE(Quietly([&] { return vault.AddDevice(&second, true, &registered); }));
  EXPECT_FALSE(registered) << "registered before: the second lock's failure must not undo it";
  _DRIVESERIAL added{};
  EXPECT_TRUE(Quietly([&] { return vault.GetAddedDevice(&added, true); }));
  ASSERT_EQ(added.count, 1);
  EXPECT_EQ(added.volumeSerial[0], kSerialE);

  // The system drive needs no registration and its removal needs nothing.
  _LCK_INFORMAION system = FolderLock(u'C', u"\\Data");
  system.serial = kSerialC;
  EXPECT_TRUE(Quietly([&] { return vault.AddDevice(&system, true, &registered); }));
  EXPECT_TRUE(Quietly([&] { return vault.RemoveDevice(&system, true); }));

  // E:'s medium goes and another volume takes the letter: the stored lock's volume is
  // the one withdrawn, by its serial.
  ASSERT_EQ(machine.RemoveVolume('E'), STATUS_SUCCESS);
  std::filesystem::path other = machine.MakeFolder('C', "\\other-medium");
  nb::kernel::VolumeParameters medium;
  medium.letter = 'E';
  medium.type = nb::kernel::VolumeType::kRemovable;
  medium.serial = 0xE1E1E1E1;
  medium.hostFolder = other.string();
  ASSERT_EQ(machine.AddVolume(medium), STATUS_SUCCESS);
  EXPECT_TRUE(Quietly([&] { return vault.RemoveDevice(&first, true); }));
  EXPECT_TRUE(Quietly([&] { return vault.GetAddedDevice(&added, true); }));
  EXPECT_EQ(added.count, 0);
  // Nothing left to withdraw: still no failure.
  EXPECT_TRUE(Quietly([&] { return vault.RemoveDevice(&first, true); }));
  EXPECT_TRUE(Quietly([&] { return vault.RemoveDevice(u'E', kSerialD, false) == false; }));
  EXPECT_TRUE(boxes.Shown().empty());
}

}  // namespace
}  // namespace vault_test
