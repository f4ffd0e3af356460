// Descriptors of unlinked files on the mount: they are described and changed through an
// open of their node, which meets the locks of the file's old name, and a release of
// another descriptor meanwhile never pulls that open away.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "mount_fixture.h"
#include "nbfsctl.h"

namespace nb::fuse::testing {
namespace {

class UnlinkedOpenTest : public MountTest {};

TEST_F(UnlinkedOpenTest, AnUnlinkedFileStillMeetsTheLockOfItsOldName) {
  WriteHost("P/H/f", "secret");
  int fd = open(Mounted("P/H/f").c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(unlink(Mounted("P/H/f").c_str()), 0);
  struct stat st {};
  ASSERT_EQ(fstat(fd, &st), 0);
  EXPECT_EQ(st.st_size, 6);
  ASSERT_EQ(Lock(u"\\P\\H", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  // Every road that changes or describes the file through the descriptor is refused.
  EXPECT_NE(fstat(fd, &st), 0);
  EXPECT_NE(fchmod(fd, 0600), 0);
  EXPECT_NE(ftruncate(fd, 0), 0);
  struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
  EXPECT_NE(futimens(fd, times), 0);
  char buffer[8];
  EXPECT_LT(pread(fd, buffer, sizeof buffer, 0), 0);
  const std::string reopen = "/proc/self/fd/" + std::to_string(fd);
  EXPECT_LT(open(reopen.c_str(), O_RDONLY), 0);
  ASSERT_EQ(Unlock(u"\\P\\H"), STATUS_SUCCESS);
  int again = open(reopen.c_str(), O_RDONLY);
  ASSERT_GE(again, 0);
  EXPECT_EQ(pread(again, buffer, sizeof buffer, 0), 6);
  close(again);
  ASSERT_EQ(fstat(fd, &st), 0);
  EXPECT_EQ(st.st_size, 6);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  close(fd);
}

TEST_F(UnlinkedOpenTest, FstatNeverMeetsAHalfReleasedDescriptor) {
  for (int round = 0; round < 30; ++round) {
    WriteHost("f", "data");
    int kept = open(Mounted("f").c_str(), O_RDONLY);
    int released = open(Mounted("f").c_str(), O_RDWR);
    ASSERT_GE(kept, 0);
    ASSERT_GE(released, 0);
    ASSERT_EQ(unlink(Mounted("f").c_str()), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::thread stat([&] {
      while (!stop) {
        struct stat st {};
        if (fstat(kept, &st) != 0 || st.st_size != 4) ++failures;
      }
    });
    struct stat st {};
    EXPECT_EQ(fstat(released, &st), 0);
    close(released);
    for (int i = 0; i < 20; ++i) {
      EXPECT_EQ(fstat(kept, &st), 0);
    }
    stop = true;
    stat.join();
    EXPECT_EQ(failures.load(), 0) << "round " << round;
    close(kept);
  }
}

}  // namespace
}  // namespace nb::fuse::testing
