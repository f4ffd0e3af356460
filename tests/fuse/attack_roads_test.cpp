// Roads an unprivileged process might take through the mount to a hidden folder's content
// or existence, or to a change inside a read-only folder; each must be closed.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

#include "mount_fixture.h"
#include "nbfsctl.h"

namespace nb::fuse::testing {
namespace {

class AttackRoadsTest : public MountTest {
 protected:
  void SetUp() override {
    MountTest::SetUp();
    if (IsSkipped()) return;
    WriteHost("P/H/f", "hidden");
    WriteHost("P/R/r", "readable");
    WriteHost("P/x", "x");
  }
  static int ErrorOf(int result) { return result < 0 ? errno : 0; }
};

TEST_F(AttackRoadsTest, DescriptorsOpenedBeforeTheLockMeetItOnEveryReadAndWrite) {
  int hidden = open(Mounted("P/H/f").c_str(), O_RDONLY);
  int readOnly = open(Mounted("P/R/r").c_str(), O_RDWR);
  int folder = open(Mounted("P/H").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(hidden, 0);
  ASSERT_GE(readOnly, 0);
  ASSERT_GE(folder, 0);
  char buffer[16];
  ASSERT_EQ(pread(hidden, buffer, sizeof buffer, 0), 6);  // read once: the page cache is not asked later
  ASSERT_EQ(Lock(u"\\P\\H", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  ASSERT_EQ(Lock(u"\\P\\R", NBFS_LOCK_READONLY), STATUS_SUCCESS);

  EXPECT_EQ(ErrorOf(static_cast<int>(pread(hidden, buffer, sizeof buffer, 0))), EACCES);
  EXPECT_EQ(ErrorOf(static_cast<int>(pwrite(readOnly, "w", 1, 0))), EACCES);
  EXPECT_EQ(ErrorOf(ftruncate(readOnly, 0)), EACCES);
  EXPECT_EQ(ErrorOf(fchmod(readOnly, 0600)), EACCES);
  EXPECT_EQ(pread(readOnly, buffer, sizeof buffer, 0), 8);  // reading stays allowed
  // A folder descriptor from before: the folder, its names and its listing are asked
  // for again, and the folder is now hidden from this process.
  struct stat st {};
  EXPECT_EQ(ErrorOf(fstat(folder, &st)), ENOENT);
  EXPECT_EQ(ErrorOf(openat(folder, "f", O_RDONLY)), ENOENT);
  EXPECT_EQ(ErrorOf(fstatat(folder, "f", &st, 0)), ENOENT);
  char entries[4096];
  EXPECT_LT(syscall(SYS_getdents64, folder, entries, sizeof entries), 0);
  close(hidden);
  close(readOnly);
  close(folder);
  EXPECT_EQ(ReadHost("P/R/r"), "readable");
}

// Files go through the page cache (so that they can be mapped shared): a refused write,
// by write(2) or through a shared map, must leave neither the file nor what anyone reads
// from the cache changed.
TEST_F(AttackRoadsTest, RefusedWritesLeaveNoTraceInThePageCache) {
  int fd = open(Mounted("P/R/r").c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  char buffer[16] = {};
  ASSERT_EQ(pread(fd, buffer, sizeof buffer, 0), 8);  // the content is cached now
  void* map = mmap(nullptr, 8, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ASSERT_NE(map, MAP_FAILED);
  ASSERT_EQ(Lock(u"\\P\\R", NBFS_LOCK_READONLY), STATUS_SUCCESS);

  EXPECT_EQ(ErrorOf(static_cast<int>(pwrite(fd, "XXXX", 4, 0))), EACCES);
  std::memset(buffer, 0, sizeof buffer);
  EXPECT_EQ(pread(fd, buffer, sizeof buffer, 0), 8);
  EXPECT_STREQ(buffer, "readable");
  EXPECT_EQ(Probe("read", "P/R/r"), "ok:readable");

  std::memcpy(map, "YYYY", 4);
  EXPECT_NE(msync(map, 8, MS_SYNC), 0);
  EXPECT_EQ(ReadHost("P/R/r"), "readable");
  EXPECT_EQ(Probe("read", "P/R/r"), "ok:readable");
  munmap(map, 8);
  close(fd);
  EXPECT_EQ(ReadHost("P/R/r"), "readable");
}

TEST_F(AttackRoadsTest, ASharedMapOfAnUnlockedFileReadsAndWritesTheVolume) {
  int fd = open(Mounted("P/x").c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  auto* map = static_cast<char*>(mmap(nullptr, 1, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  ASSERT_NE(map, MAP_FAILED);
  EXPECT_EQ(map[0], 'x');
  map[0] = 'y';
  EXPECT_EQ(msync(map, 1, MS_SYNC), 0);
  munmap(map, 1);
  close(fd);
  EXPECT_EQ(ReadHost("P/x"), "y");
}

TEST_F(AttackRoadsTest, OtherSpellingsOfTheHiddenNameFindNothing) {
  ASSERT_EQ(Lock(u"\\P\\H", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  // Each spelling answers as the same spelling of a name that was never there.
  struct Pair {
    const char* hidden;
    const char* never;
  } pairs[] = {{"P/H", "P/N"},   {"P/h", "P/n"},     {"P/H/", "P/N/"}, {"P/R/../H", "P/R/../N"},
               {"P/H*", "P/N*"}, {"P/H?", "P/N?"},   {"P/<", "P/>"},   {"P/H/f", "P/N/f"},
               {"P/H/.", "P/N/."}};
  for (const Pair& pair : pairs) {
    std::string outcome = Probe("stat", pair.hidden);
    EXPECT_NE(outcome, "ok") << pair.hidden;
    EXPECT_EQ(outcome, Probe("stat", pair.never)) << pair.hidden;
  }
  // The volume's separator is not a name character: no path hides inside one name.
  EXPECT_EQ(Probe("stat", "P\\H"), "EINVAL");
  EXPECT_EQ(Probe("read", "P\\H\\f"), "EINVAL");
  EXPECT_EQ(Probe("mkdir", "P\\H\\new"), "EINVAL");
  struct statvfs vfs {};
  EXPECT_NE(statvfs(Mounted("P/H").c_str(), &vfs), 0);
}

TEST_F(AttackRoadsTest, ContentDoesNotLeaveTheHiddenFolderByLinkRenameOrCopy) {
  ASSERT_EQ(Lock(u"\\P\\H", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  EXPECT_EQ(Probe("link", "P/H/f", "P/stolen"), "ENOENT");
  EXPECT_EQ(Probe("rename", "P/H/f", "P/stolen"), "ENOENT");
  EXPECT_EQ(Probe("rename", "P/H", "P/H2"), "ENOENT");
  EXPECT_EQ(Run({"/bin/cp", "-r", Mounted("P"), Mounted("copy")}), "");
  EXPECT_FALSE(HostExists("copy/H"));
  EXPECT_TRUE(HostExists("copy/x"));
  EXPECT_FALSE(HostExists("P/stolen"));
  // What stands in the hidden name's place cannot be replaced or removed either.
  EXPECT_EQ(Probe("rename", "P/x", "P/H"), "EACCES");
  EXPECT_EQ(Probe("rmdir", "P/H"), "ENOENT");
  EXPECT_EQ(ReadHost("P/H/f"), "hidden");
}

TEST_F(AttackRoadsTest, ChangesDoNotEnterTheReadOnlyFolderByAnotherName) {
  ASSERT_EQ(Lock(u"\\P\\R", NBFS_LOCK_READONLY), STATUS_SUCCESS);
  EXPECT_EQ(Probe("rename", "P/R", "P/R2"), "EACCES");   // moving the folder away
  EXPECT_EQ(Probe("rename", "P", "Q"), "EACCES");        // or its parent
  EXPECT_EQ(Probe("write", "P/R/../R/r", "w"), "EACCES");
  EXPECT_EQ(Probe("create", "P/R/./n"), "EACCES");
  EXPECT_EQ(Run({"/bin/cp", Mounted("P/x"), Mounted("P/R/r")}), "");
  EXPECT_EQ(ReadHost("P/R/r"), "readable");
  EXPECT_EQ(Run({"/bin/touch", Mounted("P/R/t")}), "");
  EXPECT_FALSE(HostExists("P/R/t"));
}

}  // namespace
}  // namespace nb::fuse::testing
