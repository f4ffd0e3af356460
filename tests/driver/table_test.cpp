// The lock table by plain calls: drives, entries, states and listings.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "driver_test_support.h"
#include "nb/kernel/kernel.h"
#include "nb/kernel/pool.h"
#include "nb/resource_guard.h"
#include "table.h"

namespace {

using nbfs_test::DrainLog;
using ::testing::ElementsAre;

// Stands in for attaching to a volume: a record in pool memory, as a filter's extension.
NTSTATUS FakeAttach(UCHAR letter, VolumeRecord** record) {
  auto* volume = static_cast<VolumeRecord*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(VolumeRecord), 'tseT'));
  if (!volume) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = InitializeVolumeRecord(volume, nullptr, letter);
  if (!NT_SUCCESS(status)) ExFreePool(volume);
  *record = volume;
  return status;
}

NTSTATUS FailingAttach(UCHAR, VolumeRecord**) { return STATUS_OBJECT_NAME_NOT_FOUND; }

// An attach that lingers until a second attach has begun (at most 300 ms), so that
// requests that are not serialised all get inside it.
constexpr int kRacingThreads = 4;
std::atomic<int> slowAttaches{0};
NTSTATUS SlowAttach(UCHAR letter, VolumeRecord** record) {
  ++slowAttaches;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  while (slowAttaches < kRacingThreads && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return FakeAttach(letter, record);
}

// Returns once another thread waits for `lock` exclusively (a shared acquire that may not
// wait fails only then, or while the lock is held exclusively); fails after ten seconds.
void WaitForExclusiveWaiter(ERESOURCE& lock) {
  bool seen = false;
  std::thread probe([&] {
    KeEnterCriticalRegion();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!seen && std::chrono::steady_clock::now() < deadline) {
      if (ExAcquireResourceSharedLite(&lock, FALSE)) {
        ExReleaseResourceLite(&lock);
        std::this_thread::yield();
      } else {
        seen = true;
      }
    }
    KeLeaveCriticalRegion();
  });
  probe.join();
  ASSERT_TRUE(seen) << "no thread came to wait for the lock";
}

class TableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(LogInitialize(), STATUS_SUCCESS);
    ASSERT_EQ(LogStart(64), STATUS_SUCCESS);
    ASSERT_EQ(ExInitializeResourceLite(&attachLock_), STATUS_SUCCESS);
    ASSERT_EQ(VolumeTableInitialize(&table_, &attachLock_), STATUS_SUCCESS);
  }

  void TearDown() override {
    while (!IsListEmpty(&table_.volumes)) {
      auto* volume = CONTAINING_RECORD(RemoveHeadList(&table_.volumes), VolumeRecord, link);
      FreeVolumeContents(volume);
      ExDeleteResourceLite(&volume->lock);
      volume->~VolumeRecord();
      ExFreePool(volume);
    }
    VolumeTableDelete(&table_);
    ExDeleteResourceLite(&attachLock_);
    LogShutdown();
    EXPECT_EQ(kernel_.Pool().Outstanding(), 0u) << "pool memory leaked";
  }

  void Register(char letter, ULONG timeout = 0, ULONG type = 0) {
    ASSERT_EQ(AddService(table_, timeout, type, letter, FakeAttach), STATUS_SUCCESS);
  }
  NTSTATUS Add(char letter, const std::u16string& path, ULONG type = NBFS_LOCK_NOACCESS, ULONG timeout = 0) {
    return AddEntry(table_, timeout, type, letter, path.c_str());
  }
  LockEntry* Find(char letter, const std::u16string& path) {
    VolumeReference volume = FindVolume(table_, letter);
    if (!volume) return nullptr;
    nb::SharedLock guard(volume->lock);
    return FindEntry(volume.get(), path.c_str(), static_cast<ULONG>(path.size() * 2));
  }
  std::vector<NBFS_DRIVE> Drives() {
    std::vector<NBFS_DRIVE> drives(26);
    EXPECT_EQ(GetDrvInfo(table_, drives.data(), 26 * sizeof(NBFS_DRIVE)), STATUS_SUCCESS);
    drives.erase(std::remove_if(drives.begin(), drives.end(), [](const NBFS_DRIVE& d) { return d.letter == 0; }),
                 drives.end());
    return drives;
  }

  nb::kernel::Kernel kernel_;
  ERESOURCE attachLock_;
  VolumeTable table_;
};

TEST_F(TableTest, RegisteringAnActiveDriveAgainFailsWithTwoMessages) {
  Register('C');
  DrainLog();
  EXPECT_EQ(AddService(table_, 0, 0, 'c', FakeAttach), STATUS_UNSUCCESSFUL);
  EXPECT_THAT(DrainLog(), ElementsAre("nbfsAddService: already exist service(c:)\n", "nbfsAddService: already Active\n"));
}

// Regression: requests for one unknown letter each found it absent and attached a filter
// of their own, leaving two records for one drive.
TEST_F(TableTest, ConcurrentRegistrationsOfOneLetterAttachOnce) {
  slowAttaches = 0;
  std::atomic<int> added{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kRacingThreads; ++i) {
    threads.emplace_back([&] {
      if (AddService(table_, 0, 0, 'R', SlowAttach) == STATUS_SUCCESS) ++added;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(slowAttaches.load(), 1);
  EXPECT_EQ(added.load(), 1);
  EXPECT_EQ(Drives().size(), 1u);
  std::vector<std::string> log = DrainLog();
  EXPECT_EQ(std::count(log.begin(), log.end(), "nbfsAddService: already Active\n"), kRacingThreads - 1);
}

// Regression: ADD_ENTRY looked at the drive-wide lock once, before it waited to link the
// entry, so a drive locked meanwhile ended up with a folder entry as well.
TEST_F(TableTest, AddEntryRefusesADriveLockedWhileItWaitedToLink) {
  Register('C');
  VolumeReference reference = FindVolume(table_, 'C');
  VolumeRecord* volume = reference.get();
  DrainLog();
  NTSTATUS status = STATUS_PENDING;
  std::thread adder;
  {
    nb::SharedLock held(volume->lock);
    adder = std::thread([&] { status = Add('C', u"\\A"); });
    WaitForExclusiveWaiter(volume->lock);
    // The drive is locked as a whole (an ADD_SERVICE with a type would do this) while the
    // adder waits for the volume lock to link its entry.
    volume->flags = NBFS_LOCK_NOACCESS;
  }
  adder.join();
  EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
  EXPECT_THAT(DrainLog(), ElementsAre("AddEntry [C]: Drive is already locked\n"));
  EXPECT_EQ(Find('C', u"\\A"), nullptr);
}

TEST_F(TableTest, AttachFailureIsReturnedAndLeavesNoRecord) {
  EXPECT_EQ(AddService(table_, 0, 0, 'Q', FailingAttach), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_THAT(DrainLog(), ElementsAre("cannot attach device(Q:), err=c0000034\n"));
  EXPECT_EQ(FindVolume(table_, 'Q').get(), nullptr);
}

TEST_F(TableTest, TimedDriveLockStartsOpenWithTheTypeSaved) {
  Register('D', 120, NBFS_LOCK_READONLY);
  VolumeReference volume = FindVolume(table_, 'd');
  ASSERT_NE(volume, nullptr);
  EXPECT_EQ(volume->flags, 0u);
  EXPECT_EQ(volume->savedType, NBFS_LOCK_READONLY);
  EXPECT_EQ(volume->timeout, 120u);
  EXPECT_EQ(Add('D', u"\\X"), STATUS_UNSUCCESSFUL);  // a drive-wide lock admits no folders
  EXPECT_THAT(DrainLog(), ElementsAre("AddEntry [D]: Drive is already locked\n"));
}

TEST_F(TableTest, AddEntryRefusesBadInput) {
  Register('C');
  DrainLog();
  struct Case {
    char letter;
    std::u16string path;
    ULONG type;
    NTSTATUS status;
    std::vector<std::string> messages;
  } cases[] = {
      {'C', u"\\A", 0x80, STATUS_INVALID_PARAMETER, {"AddEntry [C:]: invalid LockType(128)\n"}},
      {'C', u"\\A", 0, STATUS_INVALID_PARAMETER, {"AddEntry [C:]: invalid LockType(0)\n"}},
      {'E', u"\\A", 1, STATUS_NO_SUCH_DEVICE, {"AddEntry [E]: cannot find service\n"}},
      {'C', u"\\", 1, STATUS_INVALID_PARAMETER, {}},
      {'C', u"\\A\\", 4, STATUS_INVALID_PARAMETER, {}},
      {'C', u"", 1, STATUS_INVALID_PARAMETER, {}},
      {'C', u"A", 1, STATUS_INVALID_PARAMETER, {}},
      {'C', u"A\\B", 1, STATUS_INVALID_PARAMETER, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Add(c.letter, c.path, c.type), c.status) << std::string(c.path.begin(), c.path.end());
    EXPECT_EQ(DrainLog(), c.messages);
  }
  EXPECT_EQ(FindVolume(table_, 'C')->entries.Flink, &FindVolume(table_, 'C')->entries);
}

TEST_F(TableTest, DuplicateEntryDiffersOnlyInCaseAndFailsWithTwoMessages) {
  Register('C');
  ASSERT_EQ(Add('C', u"\\DATA"), STATUS_SUCCESS);
  DrainLog();
  EXPECT_EQ(Add('C', u"\\Data"), STATUS_UNSUCCESSFUL);
  EXPECT_THAT(DrainLog(), ElementsAre("NBFS: AddService: entry[C:\\Data] already exist\n", "cannot add service entry\n"));
}

TEST_F(TableTest, EntrySplitsIntoParentAndLeaf) {
  Register('C');
  ASSERT_EQ(Add('C', u"\\Top"), STATUS_SUCCESS);
  ASSERT_EQ(Add('C', u"\\Top\\Mid\\Leaf", NBFS_LOCK_READONLY, 300), STATUS_SUCCESS);
  LockEntry* top = Find('C', u"\\top");
  ASSERT_NE(top, nullptr);
  EXPECT_EQ(std::u16string(top->parent), u"\\");
  EXPECT_EQ(top->parentLength, 2u);
  EXPECT_EQ(std::u16string(top->leaf), u"Top");
  EXPECT_EQ(top->flags, NBFS_LOCK_NOACCESS);
  LockEntry* leaf = Find('C', u"\\Top\\Mid\\Leaf");
  ASSERT_NE(leaf, nullptr);
  EXPECT_EQ(std::u16string(leaf->parent), u"\\Top\\Mid");
  EXPECT_EQ(leaf->parentLength, 16u);
  EXPECT_EQ(std::u16string(leaf->leaf), u"Leaf");
  EXPECT_EQ(leaf->leafLength, 8u);
  EXPECT_EQ(leaf->flags, NBFS_LOCK_OPEN);
  EXPECT_EQ(leaf->savedType, NBFS_LOCK_READONLY);
}

TEST_F(TableTest, FirstAddedOfNestedEntriesGoverns) {
  Register('C');
  ASSERT_EQ(Add('C', u"\\A"), STATUS_SUCCESS);
  ASSERT_EQ(Add('C', u"\\A\\B", NBFS_LOCK_READONLY), STATUS_SUCCESS);
  VolumeReference volume = FindVolume(table_, 'C');
  struct Case {
    std::u16string path;
    const char16_t* governing;
  } cases[] = {
      {u"\\A\\B\\c", u"\\A"}, {u"\\a\\x", u"\\A"}, {u"\\AB", nullptr}, {u"\\A.txt", nullptr}, {u"", nullptr},
  };
  nb::SharedLock guard(volume->lock);
  for (const auto& c : cases) {
    LockEntry* entry = GoverningEntry(volume, c.path.c_str(), static_cast<ULONG>(c.path.size() * 2));
    if (c.governing) {
      ASSERT_NE(entry, nullptr);
      EXPECT_EQ(std::u16string(entry->path), c.governing);
    } else {
      EXPECT_EQ(entry, nullptr);
    }
  }
}

TEST_F(TableTest, DriveLeavesServiceOnlyWithoutEntries) {
  Register('C');
  ASSERT_EQ(Add('C', u"\\A"), STATUS_SUCCESS);
  DrainLog();
  EXPECT_EQ(DelService(table_, 'C'), STATUS_UNSUCCESSFUL);
  EXPECT_THAT(DrainLog(), ElementsAre("DelService [C]: entry remain yet\n"));
  ASSERT_EQ(DelEntry(table_, 'C', u"\\a"), STATUS_SUCCESS);
  EXPECT_EQ(DelService(table_, 'C'), STATUS_SUCCESS);
  EXPECT_TRUE(Drives().empty());
  EXPECT_EQ(DelService(table_, 'Z'), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(DelEntry(table_, 'C', u"\\A"), STATUS_NO_SUCH_DEVICE);
  EXPECT_THAT(DrainLog(), ElementsAre("DelService [Z]: cannot find service\n", "DelEntry [C:\\A]: cannot find entry\n"));
}

TEST_F(TableTest, InactiveDriveKeepsEntriesButIsNotListed) {
  Register('C');
  ASSERT_EQ(DelService(table_, 'C'), STATUS_SUCCESS);
  ASSERT_EQ(Add('C', u"\\Late"), STATUS_SUCCESS);
  ULONG count = 99;
  EXPECT_EQ(getEntCnt(table_, 'C', &count), STATUS_SUCCESS);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(GetEntryCount(table_), 0u);
  NBFS_ENTRY record{};
  EXPECT_EQ(GetEntryInfo(table_, 'C', &record, sizeof record), STATUS_SUCCESS);
  EXPECT_EQ(record.letter, 0);  // inactive: nothing written
  // Registering again reactivates the same record without attaching.
  EXPECT_EQ(AddService(table_, 0, 0, 'C', FailingAttach), STATUS_SUCCESS);
  EXPECT_EQ(GetEntryCount(table_), 1u);
}

TEST_F(TableTest, ListingsOfAllDrivesAndOfOneDrive) {
  Register('C');
  Register('E');
  for (auto path : {u"\\One", u"\\Two", u"\\Three"}) ASSERT_EQ(Add('C', path, NBFS_LOCK_READONLY, 0), STATUS_SUCCESS);
  ASSERT_EQ(GetEntryCount(table_), 4u);

  std::vector<NBFS_ENTRY> records(4);
  DrainLog();
  EXPECT_EQ(GetEntryInfo(table_, records.data(), 3 * sizeof(NBFS_ENTRY)), STATUS_INVALID_PARAMETER);
  EXPECT_THAT(DrainLog(), ElementsAre("buffer too small\n"));
  ASSERT_EQ(GetEntryInfo(table_, records.data(), 4 * sizeof(NBFS_ENTRY)), STATUS_SUCCESS);
  EXPECT_EQ(nbfs_test::PathOf(records[0]), u"\\One");
  EXPECT_EQ(records[0].type, NBFS_LOCK_READONLY);
  EXPECT_EQ(nbfs_test::PathOf(records[2]), u"\\Three");
  EXPECT_EQ(records[3].letter, 'E');
  EXPECT_EQ(records[3].path[0], 0);
  EXPECT_EQ(records[3].type, 0u);

  std::vector<NBFS_ENTRY> inDrive(3);
  EXPECT_EQ(GetEntryInfo(table_, 'C', inDrive.data(), 2 * sizeof(NBFS_ENTRY)), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(GetEntryInfo(table_, 'c', inDrive.data(), 3 * sizeof(NBFS_ENTRY)), STATUS_SUCCESS);
  EXPECT_EQ(nbfs_test::PathOf(inDrive[1]), u"\\Two");
  EXPECT_EQ(GetEntryInfo(table_, 'E', inDrive.data(), 0), STATUS_SUCCESS);  // no entries: nothing to write
  DrainLog();
  EXPECT_EQ(GetEntryInfo(table_, 'X', inDrive.data(), 0), STATUS_NO_SUCH_DEVICE);
  EXPECT_THAT(DrainLog(), ElementsAre("getEntCnt [X]: cannot find service\n", "GetEntryInfo(X): cannot get entry count\n"));

  NBFS_DRIVE drives[2];
  EXPECT_EQ(GetDrvInfo(table_, drives, sizeof(NBFS_DRIVE)), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(GetDrvInfo(table_, drives, sizeof drives), STATUS_SUCCESS);
  EXPECT_EQ(drives[0].letter, 'C');
  EXPECT_EQ(drives[1].letter, 'E');
}

TEST_F(TableTest, SetEntryOpensAnEntryOrTheDriveLock) {
  Register('C');
  ASSERT_EQ(Add('C', u"\\A"), STATUS_SUCCESS);
  ASSERT_EQ(SetEntry(table_, 60, NBFS_LOCK_READONLY, 'C', u"\\a"), STATUS_SUCCESS);
  LockEntry* entry = Find('C', u"\\A");
  EXPECT_EQ(entry->flags, NBFS_LOCK_OPEN);
  EXPECT_EQ(entry->savedType, NBFS_LOCK_READONLY);
  EXPECT_EQ(entry->timeout, 60u);
  ASSERT_EQ(SetEntry(table_, 0, NBFS_LOCK_NOACCESS, 'C', u"\\A"), STATUS_SUCCESS);
  EXPECT_EQ(entry->flags, NBFS_LOCK_NOACCESS);
  DrainLog();
  EXPECT_EQ(SetEntry(table_, 0, NBFS_LOCK_NOACCESS, 'C', u"\\B"), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(SetEntry(table_, 0, 2, 'C', u"\\A"), STATUS_INVALID_PARAMETER);
  EXPECT_THAT(DrainLog(), ElementsAre("SetEntry [C:\\B]: cannot find entry\n", "SetEntry [C:]: invalid LockType(2)\n"));

  Register('D', 0, NBFS_LOCK_NOACCESS);
  ASSERT_EQ(SetEntry(table_, 30, NBFS_LOCK_READONLY, 'D', u""), STATUS_SUCCESS);
  VolumeReference drive = FindVolume(table_, 'D');
  EXPECT_EQ(drive->flags, NBFS_LOCK_OPEN);
  EXPECT_EQ(drive->savedType, NBFS_LOCK_READONLY);
}

TEST_F(TableTest, PauseAndResumeEntriesAndDrives) {
  Register('C');
  ASSERT_EQ(Add('C', u"\\A"), STATUS_SUCCESS);
  LockEntry* entry = Find('C', u"\\A");
  VolumeReference volume = FindVolume(table_, 'C');
  for (int twice = 0; twice < 2; ++twice) ASSERT_EQ(PauseEntry(table_, 'C', u"\\A"), STATUS_SUCCESS);
  EXPECT_EQ(entry->pause, ENTRY_PAUSE);
  ASSERT_EQ(ResumeEntry(table_, 'C', u"\\a"), STATUS_SUCCESS);
  ASSERT_EQ(ResumeEntry(table_, 'C', u"\\a"), STATUS_SUCCESS);
  EXPECT_EQ(entry->pause, 0u);
  ASSERT_EQ(PauseEntry(table_, 'C', u""), STATUS_SUCCESS);
  EXPECT_EQ(volume->state & VOLUME_STATE_PAUSE, VOLUME_STATE_PAUSE);
  ASSERT_EQ(ResumeEntry(table_, 'C', u""), STATUS_SUCCESS);
  EXPECT_EQ(volume->state & VOLUME_STATE_PAUSE, 0u);
  DrainLog();
  EXPECT_EQ(PauseEntry(table_, 'C', u"\\Z"), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(ResumeEntry(table_, 'Y', u""), STATUS_NO_SUCH_DEVICE);
  EXPECT_THAT(DrainLog(), ElementsAre("PauseEntry [C:\\Z]: cannot find entry\n", "ResumeEntry [Y]: cannot find service\n"));
}

TEST_F(TableTest, StartTimeOutReappliesOnlyAnExpiredLock) {
  Register('C');
  ASSERT_EQ(Add('C', u"\\A", NBFS_LOCK_READONLY, 60), STATUS_SUCCESS);
  LockEntry* entry = Find('C', u"\\A");
  DrainLog();
  EXPECT_EQ(StartTimeOutEntry(table_, 'C', u"\\A"), STATUS_INVALID_PARAMETER);
  EXPECT_THAT(DrainLog(), ElementsAre("StartTimeOutEntry [C:\\A]: invalid lock(0x0)\n"));
  entry->flags = NBFS_LOCK_EXPIRED;
  ASSERT_EQ(StartTimeOutEntry(table_, 'C', u"\\A"), STATUS_SUCCESS);
  EXPECT_EQ(entry->flags, NBFS_LOCK_READONLY);
  EXPECT_EQ(StartTimeOutEntry(table_, 'C', u"\\A"), STATUS_INVALID_PARAMETER);  // flags 4 now

  Register('D', 60, NBFS_LOCK_NOACCESS);
  EXPECT_EQ(StartTimeOutEntry(table_, 'D', u""), STATUS_INVALID_PARAMETER);
  FindVolume(table_, 'D')->flags = NBFS_LOCK_EXPIRED;
  ASSERT_EQ(StartTimeOutEntry(table_, 'D', u""), STATUS_SUCCESS);
  EXPECT_EQ(FindVolume(table_, 'D')->flags, NBFS_LOCK_NOACCESS);
  DrainLog();
  EXPECT_EQ(StartTimeOutEntry(table_, 'D', u""), STATUS_INVALID_PARAMETER);
  EXPECT_THAT(DrainLog(), ElementsAre("StartTimeOutEntry [D:]: invalid Lock(0x1)\n"));
}

TEST_F(TableTest, EntryAllocationFailureLeavesNoTrace) {
  Register('C');
  DrainLog();
  kernel_.Pool().FailAfter(0);
  EXPECT_EQ(Add('C', u"\\A"), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_THAT(DrainLog(), ElementsAre("cannot alloc service entry\n"));
  ULONG count = 1;
  ASSERT_EQ(getEntCnt(table_, 'C', &count), STATUS_SUCCESS);
  EXPECT_EQ(count, 0u);
}

}  // namespace
