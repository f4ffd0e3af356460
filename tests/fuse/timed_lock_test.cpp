// A lock with an idle time-out through the mount, on the machine's own clock: it stays
// open while processes use the folder, and once the service has locked it again after the
// expiry (the client's StartTimeOutEntry, as the service calls it on a timer pulse), the
// very next request of any process meets the lock.
#include <sys/stat.h>

#include <cerrno>

#include "mount_fixture.h"
#include "nb/kernel/clock.h"
#include "nb/testing/carrier.h"
#include "nb/win/drives.h"
#include "nbclient.h"
#include "nbfsctl.h"

namespace nb::fuse::testing {
namespace {

class TimedLockTest : public MountTest {
 protected:
  void SetUp() override {
    MountTest::SetUp();
    if (IsSkipped()) return;
    WriteHost("P/T/f", "timed");
  }
  // Seconds pass on the clock behind the driver's idle timer.
  void Tick(unsigned seconds) { machine_.Kernel().Clock().Tick(seconds); }
  // The flags the driver reports for an entry of X:; ~0 when it is not listed.
  ULONG EntryFlags(const std::u16string& path) {
    NBFS_ENTRY records[4]{};
    UCHAR letter = 'X';
    if (!NT_SUCCESS(machine_.DeviceControl(NBFS_LINK_NAME, GET_ENTRY_INFO_IN_DRIVE, &letter, 1, records,
                                           sizeof records)))
      return ~0u;
    for (const NBFS_ENTRY& record : records) {
      if (std::u16string(reinterpret_cast<const char16_t*>(record.path)) == path) return record.type;
    }
    return ~0u;
  }
  // The client calls as the service makes them: this process's Win32 calls reach the
  // machine in process, and X: is the mount (the calls flush the volume through it).
  int LockFolderFor(ULONG type, ULONG timeout) {
    return Client([&] { return LockFolder(u'X', u"\\P\\T", type, timeout); });
  }
  int StartTimeOut() {
    return Client([] { return StartTimeOutEntry(u'X', u"\\P\\T"); });
  }

 private:
  template <typename Call>
  int Client(Call call) {
    nb::testing::CarriedTransport transport(machine_.Kernel(), nb::testing::Carrier::kInProcess);
    nb::win::ScopedDrive drive(u'X', mountPoint_);
    return call();
  }
};

TEST_F(TimedLockTest, AnOpenTimedLockStaysOpenWhileUsedAndHidesAtOnceWhenLockedAgain) {
  ASSERT_EQ(LockFolderFor(NBFS_LOCK_NOACCESS, 30), 0);
  ASSERT_EQ(EntryFlags(u"\\P\\T"), static_cast<ULONG>(NBFS_LOCK_OPEN));
  // Used every 20 seconds, a 30-second time-out never runs out: each access through the
  // mount starts the idle time again.
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(Probe("read", "P/T/f"), "ok:timed") << "round " << round;
    Tick(20);
    EXPECT_EQ(EntryFlags(u"\\P\\T"), static_cast<ULONG>(NBFS_LOCK_OPEN)) << "round " << round;
  }
  // The kernel has met the folder and its file: a later answer must not come from that.
  struct stat st {};
  ASSERT_EQ(stat(Mounted("P/T/f").c_str(), &st), 0);
  EXPECT_EQ(Probe("list", "P"), "ok:T");
  Tick(30);
  ASSERT_EQ(EntryFlags(u"\\P\\T"), static_cast<ULONG>(NBFS_LOCK_EXPIRED));
  ASSERT_EQ(StartTimeOut(), 0);
  ASSERT_EQ(EntryFlags(u"\\P\\T"), static_cast<ULONG>(NBFS_LOCK_NOACCESS));
  EXPECT_EQ(Probe("read", "P/T/f"), "ENOENT");
  EXPECT_EQ(Probe("stat", "P/T"), "ENOENT");
  EXPECT_EQ(Probe("list", "P"), "ok:-");
  EXPECT_NE(stat(Mounted("P/T/f").c_str(), &st), 0);
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(TimedLockTest, AnUntouchedTimedLockExpiresOnTheWalkThatCompletesItsTime) {
  ASSERT_EQ(LockFolderFor(NBFS_LOCK_READONLY, 25), 0);
  EXPECT_EQ(Probe("write", "P/T/f", "T"), "ok");  // open: even changes go through
  Tick(29);  // the walks at 10 and 20 seconds count 20 idle seconds
  EXPECT_EQ(EntryFlags(u"\\P\\T"), static_cast<ULONG>(NBFS_LOCK_OPEN));
  Tick(1);
  EXPECT_EQ(EntryFlags(u"\\P\\T"), static_cast<ULONG>(NBFS_LOCK_EXPIRED));
  ASSERT_EQ(StartTimeOut(), 0);
  EXPECT_EQ(Probe("write", "P/T/f", "x"), "EACCES");
  EXPECT_EQ(Probe("read", "P/T/f"), "ok:Timed");
}

}  // namespace
}  // namespace nb::fuse::testing
