// Lock operations and the driver's locks read back through the lock object, against the
// real filter driver; its messages in scripted boxes.
#include <algorithm>
#include <cstring>
#include <string>

#include "request_recorder.h"
#include "vault_fixture.h"
#include "nbfsctl.h"

namespace vault_test {
namespace {

using util_test::Quietly;

bool ByPlace(const _LCK_INFORMAION& a, const _LCK_INFORMAION& b) {
  return std::pair(a.drive, PathOf(a)) < std::pair(b.drive, PathOf(b));
}

TEST_F(VaultTest, LocksRoundTripThroughTheDriver) {
  machine.MakeFolder('D', "\\Data");
  machine.MakeFolder('D', "\\Timed");
  _LCK_INFORMAION data = FolderLock(u'D', u"\\Data", 1);
  _LCK_INFORMAION timed = FolderLock(u'D', u"\\Timed", 4, 10);
  _LCK_INFORMAION drive = DriveLock(u'E', 4, 5);
  for (_LCK_INFORMAION* lock : {&data, &timed, &drive}) EXPECT_EQ(Quietly([&] { return vault.Lock(lock, 1); }), 1);
  EXPECT_TRUE(boxes.Shown().empty());

  std::vector<_LCK_INFORMAION> locks = DriverLocks();
  ASSERT_EQ(locks.size(), 3u);
  std::sort(locks.begin(), locks.end(), ByPlace);
  struct Expected {
    INT type;
    char16_t drive;
    const char16_t* path;
    INT mode;
    INT timeout;
    INT running;
  };
  // A timed lock starts open (mode 0), running its idle time-out: "ready", not running.
  const Expected expected[] = {{LCK_TYPE_FOLDER, u'D', u"\\Data", 1, 0, 1},
                               {LCK_TYPE_FOLDER, u'D', u"\\Timed", 0, 10, 0},
                               {LCK_TYPE_DRIVE, u'E', u"", 0, 5, 0}};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(locks[i].type, expected[i].type) << i;
    EXPECT_EQ(locks[i].drive, expected[i].drive) << i;
    EXPECT_EQ(PathOf(locks[i]), expected[i].path) << i;
    EXPECT_EQ(locks[i].mode, expected[i].mode) << i;
    EXPECT_EQ(locks[i].timeout, expected[i].timeout) << i << ": minutes to seconds and back";
    EXPECT_EQ(locks[i].running, expected[i].running) << i;
  }

  // Mode and time-out change (a timed lock is set open again); pause and resume; only an
  // expired time-out restarts.
  timed.mode = 4;
  timed.timeout = 3;
  EXPECT_EQ(Quietly([&] { return vault.SetLock(&timed, 1); }), 1);
  data.mode = 4;
  EXPECT_EQ(Quietly([&] { return vault.SetLock(&data, 1); }), 1);
  locks = DriverLocks();
  std::sort(locks.begin(), locks.end(), ByPlace);
  EXPECT_EQ(locks[0].mode, 4);
  EXPECT_EQ(locks[1].timeout, 3);
  EXPECT_EQ(Quietly([&] { return vault.StartTimeOut(&timed, false); }), 0);
  EXPECT_EQ(Quietly([&] { return vault.StartTimeOut(&drive, false); }), 0);
  EXPECT_EQ(Quietly([&] { return vault.PauseLock(&data, 1); }), 1);
  EXPECT_EQ(Quietly([&] { return vault.ResumeLock(&data, 1); }), 1);

  for (_LCK_INFORMAION* lock : {&data, &timed, &drive}) EXPECT_EQ(Quietly([&] { return vault.UnLock(lock, 1); }), 1);
  EXPECT_EQ(Quietly([&] { return vault.GetLockCount(1); }), 0);
  EXPECT_TRUE(boxes.Shown().empty());
}

// A drive registered only for its folder locks (mode and time-out 0) counts its folders.
TEST_F(VaultTest, FolderLocksAreCountedPerDrive) {
  machine.MakeFolder('D', "\\A");
  machine.MakeFolder('D', "\\B");
  machine.MakeFolder('C', "\\C");
  for (auto [drive, path] : {std::pair{u'D', u"\\A"}, {u'D', u"\\B"}, {u'C', u"\\C"}}) {
    _LCK_INFORMAION lock = FolderLock(drive, path);
    ASSERT_EQ(Quietly([&] { return vault.Lock(&lock, 0); }), 1);
  }
  EXPECT_EQ(Quietly([&] { return vault.GetCountInDrive('D', 0); }), 2);
  EXPECT_EQ(Quietly([&] { return vault.GetLockCount(0); }), 3);
  std::vector<_LCK_INFORMAION> inD(2);
  EXPECT_EQ(Quietly([&] { return vault.GetInfoInDrive('D', 2, inD.data(), 0); }), 1);
  for (const _LCK_INFORMAION& lock : inD) EXPECT_EQ(lock.type, LCK_TYPE_FOLDER);
}

// The caller sized its buffer with GetLockCount; a lock added since then must not be
// written past it.
TEST_F(VaultTest, LockInfoNeverWritesPastTheCountedRecords) {
  machine.MakeFolder('D', "\\A");
  machine.MakeFolder('D', "\\B");
  machine.MakeFolder('D', "\\C");
  _LCK_INFORMAION a = FolderLock(u'D', u"\\A");
  _LCK_INFORMAION b = FolderLock(u'D', u"\\B");
  _LCK_INFORMAION c = FolderLock(u'D', u"\\C");
  ASSERT_EQ(Quietly([&] { return vault.Lock(&a, 0) + vault.Lock(&b, 0); }), 2);
  int count = Quietly([&] { return vault.GetLockCount(0); });
  ASSERT_EQ(count, 2);
  ASSERT_EQ(Quietly([&] { return vault.Lock(&c, 0); }), 1);  // the driver's answer grows

  std::vector<_LCK_INFORMAION> buffer(4);
  std::memset(buffer.data(), 0x5A, buffer.size() * sizeof buffer[0]);
  _LCK_INFORMAION guard = buffer[2];
  EXPECT_EQ(Quietly([&] { return vault.GetLockInfo(buffer.data(), count, 0); }), 0);
  EXPECT_EQ(std::memcmp(&buffer[2], &guard, sizeof guard), 0) << "the record after the counted ones is untouched";
  EXPECT_EQ(Quietly([&] { return vault.GetLockInfo(buffer.data(), count, 1); }), 0);
  EXPECT_EQ(boxes.Shown().size(), 1u);

  // Room for more than there are: the records filled are zeroed first, the rest left as
  // no lock.
  std::memset(buffer.data(), 0x5A, buffer.size() * sizeof buffer[0]);
  EXPECT_EQ(Quietly([&] { return vault.GetLockInfo(buffer.data(), 4, 0); }), 1);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(buffer[i].type, LCK_TYPE_FOLDER);
    EXPECT_EQ(buffer[i].serial, 0u);
    EXPECT_EQ(buffer[i].owner[0], 0);
  }
  EXPECT_EQ(buffer[3].type, 0);
  EXPECT_EQ(buffer[3].drive, 0);
}

// The driver's buffer holds 259 characters: a longer path is refused, never cut into the
// name of another folder, on every operation that sends it.
TEST_F(VaultTest, APathLongerThanTheDriversBufferIsRefused) {
  std::string longest = "\\" + std::string(100, 'a') + "\\" + std::string(100, 'b') + "\\" + std::string(56, 'c');
  ASSERT_EQ(longest.size(), 259u);
  machine.MakeFolder('D', longest);
  machine.MakeFolder('D', longest + "d");
  std::u16string fits(longest.begin(), longest.end());
  _LCK_INFORMAION fitting = FolderLock(u'D', fits);
  EXPECT_EQ(Quietly([&] { return vault.Lock(&fitting, 1); }), 1);
  EXPECT_EQ(Quietly([&] { return vault.UnLock(&fitting, 1); }), 1);

  _LCK_INFORMAION tooLong = FolderLock(u'D', fits + u"d");
  using Operation = int (*)(CVAULTObj&, _LCK_INFORMAION*);
  const Operation operations[] = {
      [](CVAULTObj& v, _LCK_INFORMAION* l) { return v.Lock(l, 1); },
      [](CVAULTObj& v, _LCK_INFORMAION* l) { return v.UnLock(l, 1); },
      [](CVAULTObj& v, _LCK_INFORMAION* l) { return v.SetLock(l, 1); },
      [](CVAULTObj& v, _LCK_INFORMAION* l) { return v.PauseLock(l, 1); },
      [](CVAULTObj& v, _LCK_INFORMAION* l) { return v.ResumeLock(l, 1); },
      [](CVAULTObj& v, _LCK_INFORMAION* l) { return v.StartTimeOut(l, true); },
  };
  for (Operation operation : operations) {
    EXPECT_EQ(Quietly([&] { return operation(vault, &tooLong); }), 0);
  }
  EXPECT_EQ(Quietly([&] { return vault.GetLockCount(0); }), 0) << "nothing was locked, not even the cut path";
  std::vector<std::u16string> texts = Texts();
  ASSERT_EQ(texts.size(), std::size(operations));
  EXPECT_EQ(texts[0], u"The lock settings for D:" + fits + u"d are not valid.");
}

TEST_F(VaultTest, FailuresShowTheirMessageOnlyWhenAsked) {
  _LCK_INFORMAION missing = FolderLock(u'D', u"\\Missing");
  EXPECT_EQ(Quietly([&] { return vault.Lock(&missing, 0); }), 0);
  EXPECT_TRUE(boxes.Shown().empty());
  EXPECT_EQ(Quietly([&] { return vault.Lock(&missing, 1); }), 0);
  std::vector<nb::win::MessageBoxRequest> shown = boxes.Shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].caption, u"Error");
  EXPECT_EQ(shown[0].Icon(), static_cast<UINT>(MB_ICONERROR));
  EXPECT_EQ(shown[0].Buttons(), static_cast<UINT>(MB_OK));
  EXPECT_EQ(shown[0].text, u"The folder D:\\Missing cannot be opened.");

  // A negative time-out would wrap into another one: refused as invalid.
  machine.MakeFolder('D', "\\Data");
  _LCK_INFORMAION negative = FolderLock(u'D', u"\\Data", 1, -1);
  EXPECT_EQ(Quietly([&] { return vault.Lock(&negative, 1); }), 0);
  EXPECT_EQ(Texts().back(), u"The lock settings for D:\\Data are not valid.");
}

TEST_F(VaultTest, AnUnlockedDriveLockSendsNoPath) {
  client_test::RequestRecorder recorder;
  ASSERT_EQ(recorder.AttachAbove(machine, NBFS_DEVICE_NAME), STATUS_SUCCESS);
  _LCK_INFORMAION drive = DriveLock(u'E');
  ASSERT_EQ(Quietly([&] { return vault.Lock(&drive, 0); }), 1);
  // Whatever the record's path holds, a drive lock is the drive's.
  std::u16string junk(400, u'x');
  std::copy(junk.begin(), junk.end(), drive.path);
  recorder.Clear();
  EXPECT_EQ(Quietly([&] { return vault.UnLock(&drive, 1); }), 1);
  EXPECT_TRUE(recorder.Saw(DEL_SERVICE));
  EXPECT_FALSE(recorder.Saw(DEL_ENTRY));
}

TEST_F(VaultTest, LockCountReadsAtMostTwentySixDrives) {
  client_test::RequestRecorder recorder;
  ASSERT_EQ(recorder.AttachAbove(machine, NBFS_DEVICE_NAME), STATUS_SUCCESS);
  std::vector<uint8_t> table(26 * sizeof(NBFS_DRIVE));
  for (int i = 0; i < 26; ++i) {
    NBFS_DRIVE drive{60, 1, static_cast<UCHAR>('A' + i), {}};
    std::memcpy(&table[i * sizeof drive], &drive, sizeof drive);
  }
  recorder.Answer(GET_DRIVE_INFO, STATUS_SUCCESS, table);
  EXPECT_EQ(Quietly([&] { return vault.GetLockCount(0); }), 26);
  std::vector<_LCK_INFORMAION> locks(26);
  EXPECT_EQ(Quietly([&] { return vault.GetLockInfo(locks.data(), 26, 0); }), 1);
  EXPECT_EQ(locks[25].drive, u'Z');
  EXPECT_EQ(locks[25].type, LCK_TYPE_DRIVE);

  // A table that cannot be read is said whether or not a message was asked for.
  recorder.Answer(GET_DRIVE_INFO, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Quietly([&] { return vault.GetLockCount(0); }), 0);
  EXPECT_EQ(Texts(), std::vector<std::u16string>{u"The lock table cannot be read from the driver (code -3002)."});
}

TEST_F(VaultTest, DriverVersion) {
  int major = 0, minor = 0;
  EXPECT_EQ(Quietly([&] { return vault.GetVersion(&major, &minor, 1); }), 1);
  EXPECT_EQ(major, 3);
  EXPECT_EQ(minor, 6);
}

}  // namespace
}  // namespace vault_test
