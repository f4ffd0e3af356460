// Locks without a lock object: the count and list over the driver's drive table, unlocking
// one or all, and a list that never writes past the room the caller counted.
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "NBUtil.h"
#include "driver_locks.h"
#include "nbclient.h"
#include "nbfsctl.h"
#include "request_recorder.h"
#include "util_machine.h"

namespace util_test {
namespace {

using client_test::RequestRecorder;

class LockUtilitiesTest : public UtilTest {
 protected:
  void SetUp() override {
    UtilTest::SetUp();
    machine.MakeFolder('C', "\\Data\\A");
    machine.MakeFolder('C', "\\Data\\B");
    machine.MakeFolder('D', "\\Music");
  }
  void Lock(WCHAR letter, const char16_t* path, ULONG type = 1, ULONG timeout = 0) {
    ASSERT_EQ(Quietly([&] { return LockFolder(letter, path, type, timeout); }), 0);
  }
};

TEST_F(LockUtilitiesTest, CountAndListFolderAndDriveLocks) {
  EXPECT_EQ(GetLockCount(), 0);
  Lock(u'C', u"\\Data\\A");
  Lock(u'C', u"\\Data\\B", 4, 120);
  ASSERT_EQ(Quietly([] { return LockDrive(u'E', 1, 0); }), 0);
  ASSERT_EQ(GetLockCount(), 3);

  std::vector<_LCK_INFORMAION> locks(3);
  std::memset(locks.data(), 0x5A, locks.size() * sizeof(_LCK_INFORMAION));  // stale bytes
  ASSERT_EQ(GetLockInfo(locks.data(), 3), 1);
  std::map<std::u16string, const _LCK_INFORMAION*> byName;
  for (const auto& lock : locks) byName[std::u16string{lock.drive, u':'} + lock.path] = &lock;
  ASSERT_EQ(byName.size(), 3u);
  const _LCK_INFORMAION* b = byName.at(u"C:\\Data\\B");
  EXPECT_EQ(b->type, LCK_TYPE_FOLDER);
  EXPECT_EQ(b->timeout, 120) << "seconds, as the driver reports them";
  EXPECT_EQ(b->mode, 0) << "a timed lock starts open";
  EXPECT_EQ(b->running, 0) << "not set here";
  EXPECT_EQ(b->status, 0) << "the record was zeroed";
  EXPECT_EQ(b->owner[0], 0);
  const _LCK_INFORMAION* e = byName.at(u"E:");
  EXPECT_EQ(e->type, LCK_TYPE_DRIVE);
  EXPECT_EQ(e->mode, 1);
}

TEST_F(LockUtilitiesTest, UnLockFolderAndDriveLocksAndUnlockAll) {
  Lock(u'C', u"\\Data\\A");
  Lock(u'D', u"\\Music");
  ASSERT_EQ(Quietly([] { return LockDrive(u'E', 4, 0); }), 0);
  _LCK_INFORMAION folder{};
  folder.type = LCK_TYPE_FOLDER;
  folder.drive = u'C';
  std::memcpy(folder.path, u"\\Data\\A", 8 * sizeof(WCHAR));
  EXPECT_EQ(Quietly([&] { return UnLock(&folder); }), 1);
  EXPECT_EQ(Quietly([&] { return UnLock(&folder); }), 0) << "gone already";
  EXPECT_EQ(GetLockCount(), 2);

  // A path that does not end inside its field is refused, not read past.
  _LCK_INFORMAION unterminated{};
  unterminated.type = LCK_TYPE_FOLDER;
  unterminated.drive = u'D';
  for (WCHAR& unit : unterminated.path) unit = u'x';
  unterminated.path[0] = u'\\';
  EXPECT_EQ(Quietly([&] { return UnLock(&unterminated); }), 0);

  EXPECT_EQ(Quietly([] { return UnlockAll(); }), 1);
  EXPECT_EQ(GetLockCount(), 0);
}

TEST_F(LockUtilitiesTest, UnlockAllWithoutLocksTouchesNothingButTheCount) {
  RequestRecorder recorder;
  ASSERT_EQ(recorder.AttachAbove(machine, NBFS_DEVICE_NAME), STATUS_SUCCESS);
  EXPECT_EQ(UnlockAll(), 1);
  EXPECT_EQ(recorder.Codes(), std::vector<ULONG>{GET_DRIVE_INFO});
}

// The caller sizes its buffer with GetLockCount; a lock added before GetLockInfo must not
// be written past the end of it.
TEST_F(LockUtilitiesTest, ALockAddedAfterTheCountIsNeverWrittenPastTheCallersRecords) {
  Lock(u'C', u"\\Data\\A");
  Lock(u'D', u"\\Music");
  int count = GetLockCount();
  ASSERT_EQ(count, 2);
  Lock(u'C', u"\\Data\\B");

  std::vector<_LCK_INFORMAION> records(count + 1);
  std::memset(&records[count], 0xA5, sizeof(_LCK_INFORMAION));
  EXPECT_EQ(GetLockInfo(records.data(), count), 0);
  const auto* guard = reinterpret_cast<const unsigned char*>(&records[count]);
  for (size_t i = 0; i < sizeof(_LCK_INFORMAION); ++i) ASSERT_EQ(guard[i], 0xA5) << "byte " << i;

  // Counted again, the list fits.
  count = GetLockCount();
  records.assign(count, _LCK_INFORMAION{});
  EXPECT_EQ(GetLockInfo(records.data(), count), 1);
}

// A drive whose entries change between their count and their read is read again a
// bounded number of times, then the list fails.
TEST_F(LockUtilitiesTest, ADriveThatKeepsChangingUnderTheReadFailsAfterBoundedRetries) {
  Lock(u'C', u"\\Data\\A");
  Lock(u'C', u"\\Data\\B");
  RequestRecorder recorder;
  ASSERT_EQ(recorder.AttachAbove(machine, NBFS_DEVICE_NAME), STATUS_SUCCESS);
  recorder.AnswerUlong(GET_ENTRY_COUNT_IN_DRIVE, 1);  // the driver holds two by now

  std::vector<_LCK_INFORMAION> records(3);
  EXPECT_EQ(Quietly([&] { return GetLockInfo(records.data(), 3); }), 0);
  int walks = 0;
  for (ULONG code : recorder.Codes()) walks += code == GET_DRIVE_INFO;
  EXPECT_EQ(walks, nbutil::kLockReadAttempts);
}

}  // namespace
}  // namespace util_test
