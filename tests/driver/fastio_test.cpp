// Fast I/O forwarding and the tear-down of a volume filter.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fastio.h"
#include "name_cache.h"
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

// Every routine of the lower table counts its calls and serves them.
int lowerCalls = 0;
template <typename Routine>
struct Counting;
template <typename... Args>
struct Counting<BOOLEAN (*)(Args...)> {
  static BOOLEAN Call(Args...) {
    ++lowerCalls;
    return TRUE;
  }
};

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

// The fast I/O calls that move, query or lock a file's data, each made on one file object.
struct GatedCall {
  const char* name;
  BOOLEAN (*call)(PFAST_IO_DISPATCH table, PFILE_OBJECT file, PDEVICE_OBJECT device);
};

const GatedCall kGatedCalls[] = {
    {"CheckIfPossible",
     [](PFAST_IO_DISPATCH t, PFILE_OBJECT f, PDEVICE_OBJECT d) {
       LARGE_INTEGER offset{};
       IO_STATUS_BLOCK status{};
       return t->FastIoCheckIfPossible(f, &offset, 8, TRUE, 0, FALSE, &status, d);
     }},
    {"Read",
     [](PFAST_IO_DISPATCH t, PFILE_OBJECT f, PDEVICE_OBJECT d) {
       LARGE_INTEGER offset{};
       IO_STATUS_BLOCK status{};
       char buffer[8];
       return t->FastIoRead(f, &offset, 8, TRUE, 0, buffer, &status, d);
     }},
    {"Write",
     [](PFAST_IO_DISPATCH t, PFILE_OBJECT f, PDEVICE_OBJECT d) {
       LARGE_INTEGER offset{};
       IO_STATUS_BLOCK status{};
       char buffer[8] = {};
       return t->FastIoWrite(f, &offset, 8, TRUE, 0, buffer, &status, d);
     }},
    {"QueryBasicInfo",
     [](PFAST_IO_DISPATCH t, PFILE_OBJECT f, PDEVICE_OBJECT d) {
       FILE_BASIC_INFORMATION info{};
       IO_STATUS_BLOCK status{};
       return t->FastIoQueryBasicInfo(f, TRUE, &info, &status, d);
     }},
    {"QueryStandardInfo",
     [](PFAST_IO_DISPATCH t, PFILE_OBJECT f, PDEVICE_OBJECT d) {
       FILE_STANDARD_INFORMATION info{};
       IO_STATUS_BLOCK status{};
       return t->FastIoQueryStandardInfo(f, TRUE, &info, &status, d);
     }},
    {"QueryNetworkOpenInfo",
     [](PFAST_IO_DISPATCH t, PFILE_OBJECT f, PDEVICE_OBJECT d) {
       FILE_NETWORK_OPEN_INFORMATION info{};
       IO_STATUS_BLOCK status{};
       return t->FastIoQueryNetworkOpenInfo(f, TRUE, &info, &status, d);
     }},
    {"Lock",
     [](PFAST_IO_DISPATCH t, PFILE_OBJECT f, PDEVICE_OBJECT d) {
       LARGE_INTEGER offset{}, length{};
       IO_STATUS_BLOCK status{};
       return t->FastIoLock(f, &offset, &length, nullptr, 0, TRUE, TRUE, &status, d);
     }},
    {"UnlockSingle",
     [](PFAST_IO_DISPATCH t, PFILE_OBJECT f, PDEVICE_OBJECT d) {
       LARGE_INTEGER offset{}, length{};
       IO_STATUS_BLOCK status{};
       return t->FastIoUnlockSingle(f, &offset, &length, nullptr, 0, &status, d);
     }},
    {"UnlockAll",
     [](PFAST_IO_DISPATCH t, PFILE_OBJECT f, PDEVICE_OBJECT d) {
       IO_STATUS_BLOCK status{};
       return t->FastIoUnlockAll(f, nullptr, &status, d);
     }},
    {"UnlockAllByKey",
     [](PFAST_IO_DISPATCH t, PFILE_OBJECT f, PDEVICE_OBJECT d) {
       IO_STATUS_BLOCK status{};
       return t->FastIoUnlockAllByKey(f, nullptr, 0, &status, d);
     }},
    {"MdlRead",
     [](PFAST_IO_DISPATCH t, PFILE_OBJECT f, PDEVICE_OBJECT d) {
       LARGE_INTEGER offset{};
       IO_STATUS_BLOCK status{};
       PMDL chain = nullptr;
       return t->MdlRead(f, &offset, 8, 0, &chain, &status, d);
     }},
    {"PrepareMdlWrite",
     [](PFAST_IO_DISPATCH t, PFILE_OBJECT f, PDEVICE_OBJECT d) {
       LARGE_INTEGER offset{};
       IO_STATUS_BLOCK status{};
       PMDL chain = nullptr;
       return t->PrepareMdlWrite(f, &offset, 8, 0, &chain, &status, d);
     }},
    {"ReadCompressed",
     [](PFAST_IO_DISPATCH t, PFILE_OBJECT f, PDEVICE_OBJECT d) {
       LARGE_INTEGER offset{};
       IO_STATUS_BLOCK status{};
       PMDL chain = nullptr;
       char buffer[8];
       return t->FastIoReadCompressed(f, &offset, 8, 0, buffer, &chain, &status, nullptr, 0, d);
     }},
    {"WriteCompressed",
     [](PFAST_IO_DISPATCH t, PFILE_OBJECT f, PDEVICE_OBJECT d) {
       LARGE_INTEGER offset{};
       IO_STATUS_BLOCK status{};
       PMDL chain = nullptr;
       char buffer[8] = {};
       return t->FastIoWriteCompressed(f, &offset, 8, 0, buffer, &chain, &status, nullptr, 0, d);
     }},
};

TEST_F(FastIoTest, CallsOnALockedFileAreDeclinedAndOthersForwarded) {
  FAST_IO_DISPATCH lowerTable{};
  lowerTable.SizeOfFastIoDispatch = sizeof lowerTable;
  lowerTable.FastIoCheckIfPossible = Counting<PFAST_IO_CHECK_IF_POSSIBLE>::Call;
  lowerTable.FastIoRead = Counting<PFAST_IO_READ>::Call;
  lowerTable.FastIoWrite = Counting<PFAST_IO_WRITE>::Call;
  lowerTable.FastIoQueryBasicInfo = Counting<PFAST_IO_QUERY_BASIC_INFO>::Call;
  lowerTable.FastIoQueryStandardInfo = Counting<PFAST_IO_QUERY_STANDARD_INFO>::Call;
  lowerTable.FastIoQueryNetworkOpenInfo = Counting<PFAST_IO_QUERY_NETWORK_OPEN_INFO>::Call;
  lowerTable.FastIoLock = Counting<PFAST_IO_LOCK>::Call;
  lowerTable.FastIoUnlockSingle = Counting<PFAST_IO_UNLOCK_SINGLE>::Call;
  lowerTable.FastIoUnlockAll = Counting<PFAST_IO_UNLOCK_ALL>::Call;
  lowerTable.FastIoUnlockAllByKey = Counting<PFAST_IO_UNLOCK_ALL_BY_KEY>::Call;
  lowerTable.MdlRead = Counting<PFAST_IO_MDL_READ>::Call;
  lowerTable.PrepareMdlWrite = Counting<PFAST_IO_PREPARE_MDL_WRITE>::Call;
  lowerTable.FastIoReadCompressed = Counting<PFAST_IO_READ_COMPRESSED>::Call;
  lowerTable.FastIoWriteCompressed = Counting<PFAST_IO_WRITE_COMPRESSED>::Call;
  lowerTable.MdlReadComplete = Counting<PFAST_IO_MDL_READ_COMPLETE>::Call;
  volume_->DriverObject->FastIoDispatch = &lowerTable;

  ASSERT_EQ(machine_.Control(ADD_ENTRY, Entry('C', u"\\Locked", NBFS_LOCK_READONLY)), STATUS_SUCCESS);
  ASSERT_EQ(machine_.Control(ADD_ENTRY, Entry('C', u"\\Open", NBFS_LOCK_NOACCESS, 60)), STATUS_SUCCESS);
  ASSERT_EQ(machine_.Control(PAUSE_ENTRY, Entry('C', u"\\Open")), STATUS_SUCCESS);
  FILE_OBJECT locked{}, paused{}, free{}, unnamed{};
  const std::u16string lockedName = u"\\Locked\\f.txt", pausedName = u"\\Open\\f.txt", freeName = u"\\Free\\f.txt";
  ASSERT_EQ(NameCacheRecord(&locked, lockedName.data(), lockedName.size() * 2), STATUS_SUCCESS);
  ASSERT_EQ(NameCacheRecord(&paused, pausedName.data(), pausedName.size() * 2), STATUS_SUCCESS);
  ASSERT_EQ(NameCacheRecord(&free, freeName.data(), freeName.size() * 2), STATUS_SUCCESS);

  for (const GatedCall& gated : kGatedCalls) {
    lowerCalls = 0;
    // A governed file, paused or not, comes again as an IRP.
    EXPECT_FALSE(gated.call(table_, &locked, filter_)) << gated.name;
    EXPECT_FALSE(gated.call(table_, &paused, filter_)) << gated.name;
    EXPECT_EQ(lowerCalls, 0) << gated.name;
    EXPECT_TRUE(gated.call(table_, &free, filter_)) << gated.name;
    EXPECT_TRUE(gated.call(table_, &unnamed, filter_)) << gated.name;
    EXPECT_EQ(lowerCalls, 2) << gated.name;
  }
  // Completing an MDL transfer the file system began is never declined.
  EXPECT_TRUE(table_->MdlReadComplete(&locked, nullptr, filter_));

  // A drive-wide lock governs every file of the drive.
  ASSERT_EQ(machine_.Control(DEL_ENTRY, Entry('C', u"\\Locked")), STATUS_SUCCESS);
  ASSERT_EQ(machine_.Control(DEL_ENTRY, Entry('C', u"\\Open")), STATUS_SUCCESS);
  EXPECT_TRUE(kGatedCalls[1].call(table_, &free, filter_));
  ASSERT_EQ(machine_.Control(DEL_SERVICE, Entry('C')), STATUS_SUCCESS);
  ASSERT_EQ(machine_.Control(ADD_SERVICE, Entry('C', u"", NBFS_LOCK_READONLY)), STATUS_SUCCESS);
  EXPECT_FALSE(kGatedCalls[1].call(table_, &free, IoGetAttachedDevice(volume_)));
  for (FILE_OBJECT* file : {&locked, &paused, &free}) (void)NameCacheForget(file);
  volume_->DriverObject->FastIoDispatch = nullptr;
}

}  // namespace
