// Fast I/O forwarding and the tear-down of a volume filter.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fastio.h"
#include "nb/kernel/object_namespace.h"
#include "nb/kernel/pool.h"
#include "nbfs_machine.h"

namespace {

using nbfs_test::Entry;
using nbfs_test::NbfsMachine;

PDEVICE_OBJECT seenDevice = nullptr;

BOOLEAN RecordingRead(PFILE_OBJECT, PLARGE_INTEGER, ULONG, BOOLEAN, ULONG, PVOID, PIO_STATUS_BLOCK status,
                      PDEVICE_OBJECT device) {
  seenDevice = device;
  status->Status = STATUS_SUCCESS;
  status->Information = 3;
  return TRUE;
}

NTSTATUS RecordingCcFlush(PFILE_OBJECT, PDEVICE_OBJECT device) {
  seenDevice = device;
  return STATUS_SUCCESS;
}

class FastIoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(machine_.loadStatus, STATUS_SUCCESS);
    volume_ = static_cast<PDEVICE_OBJECT>(
        machine_.Kernel().Namespace().Lookup(u"\\Device\\HarddiskVolume1", nb::kernel::ObjectKind::kDevice));
    ASSERT_EQ(machine_.Control(ADD_SERVICE, Entry('C')), STATUS_SUCCESS);
    filter_ = IoGetAttachedDevice(volume_);
    ASSERT_NE(filter_, volume_);
    table_ = filter_->DriverObject->FastIoDispatch;
    ASSERT_NE(table_, nullptr);
  }

  NbfsMachine machine_{'C'};
  PDEVICE_OBJECT volume_ = nullptr;
  PDEVICE_OBJECT filter_ = nullptr;
  PFAST_IO_DISPATCH table_ = nullptr;
};

TEST_F(FastIoTest, TableLeavesOnlySectionSlotsEmpty) {
  EXPECT_EQ(table_->SizeOfFastIoDispatch, sizeof(FAST_IO_DISPATCH));
  EXPECT_EQ(table_->AcquireFileForNtCreateSection, nullptr);
  EXPECT_EQ(table_->ReleaseFileForNtCreateSection, nullptr);
  auto* slots = reinterpret_cast<void**>(&table_->FastIoCheckIfPossible);
  int filled = 0;
  for (int i = 0; i < 27; ++i) filled += slots[i] != nullptr;
  EXPECT_EQ(filled, 25);
}

TEST_F(FastIoTest, CallsReachTheLowerDriverWithTheLowerDevice) {
  FILE_OBJECT file{};
  LARGE_INTEGER offset{};
  IO_STATUS_BLOCK status{};
  char buffer[8];
  // Nothing below offers fast I/O: boolean routines decline, status routines say so.
  EXPECT_FALSE(table_->FastIoRead(&file, &offset, 8, TRUE, 0, buffer, &status, filter_));
  EXPECT_EQ(table_->AcquireForCcFlush(&file, filter_), STATUS_NOT_IMPLEMENTED);

  FAST_IO_DISPATCH lowerTable{};
  lowerTable.SizeOfFastIoDispatch = sizeof lowerTable;
  lowerTable.FastIoRead = RecordingRead;
  lowerTable.AcquireForCcFlush = RecordingCcFlush;
  volume_->DriverObject->FastIoDispatch = &lowerTable;
  EXPECT_TRUE(table_->FastIoRead(&file, &offset, 8, TRUE, 0, buffer, &status, filter_));
  EXPECT_EQ(seenDevice, volume_);
  EXPECT_EQ(status.Information, 3u);
  seenDevice = nullptr;
  EXPECT_EQ(table_->AcquireForCcFlush(&file, filter_), STATUS_SUCCESS);
  EXPECT_EQ(seenDevice, volume_);
  EXPECT_FALSE(table_->FastIoWrite(&file, &offset, 8, TRUE, 0, buffer, &status, filter_));  // no such routine
  EXPECT_EQ(table_->ReleaseForCcFlush(&file, filter_), STATUS_NOT_IMPLEMENTED);

  // The control device has nothing below it.
  PDEVICE_OBJECT control = static_cast<PDEVICE_OBJECT>(
      machine_.Kernel().Namespace().Lookup(NBFS_DEVICE_NAME, nb::kernel::ObjectKind::kDevice));
  EXPECT_FALSE(table_->FastIoRead(&file, &offset, 8, TRUE, 0, buffer, &status, control));
  EXPECT_EQ(table_->AcquireForCcFlush(&file, control), STATUS_NOT_IMPLEMENTED);
  volume_->DriverObject->FastIoDispatch = nullptr;
}

TEST_F(FastIoTest, QueryOpenDeclinesARequestWithAFileObject) {
  PIRP irp = IoAllocateIrp(2, FALSE);
  IoSetNextIrpStackLocation(irp);
  FILE_OBJECT file{};
  IoGetCurrentIrpStackLocation(irp)->FileObject = &file;
  EXPECT_FALSE(table_->FastIoQueryOpen(irp, nullptr, filter_));
  IoFreeIrp(irp);
}

TEST_F(FastIoTest, DetachOfAVolumeFilterFreesItsLocks) {
  ASSERT_EQ(machine_.StartLog(8), STATUS_SUCCESS);
  ASSERT_EQ(machine_.Control(ADD_ENTRY, Entry('C', u"\\Locked", 1)), STATUS_SUCCESS);
  size_t before = machine_.Kernel().Pool().Outstanding();
  table_->FastIoDetachDevice(filter_, volume_);
  EXPECT_LT(machine_.Kernel().Pool().Outstanding(), before);
  EXPECT_EQ(IoGetAttachedDevice(volume_), volume_);
  NBFS_DRIVE drives[26] = {};
  ASSERT_EQ(machine_.Control(GET_DRIVE_INFO, nullptr, 0, drives, sizeof drives), STATUS_SUCCESS);
  EXPECT_EQ(drives[0].letter, 0);
  std::vector<std::string> messages = machine_.ReadLogMessages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_THAT(messages[0], ::testing::StartsWith("WARN FastIoDetach enter, target=0x"));
  // The letter can be registered again on the same volume.
  EXPECT_EQ(machine_.Control(ADD_SERVICE, Entry('C')), STATUS_SUCCESS);
}

}  // namespace
