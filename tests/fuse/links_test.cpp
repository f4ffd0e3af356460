// Hard and symbolic links through the mount: a second name must not become a second road
// to what a lock hides or keeps unchanged.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "mount_fixture.h"
#include "nbfsctl.h"

namespace nb::fuse::testing {
namespace {

class MountLinksTest : public MountTest {
 protected:
  void SetUp() override {
    MountTest::SetUp();
    if (IsSkipped()) return;
    WriteHost("P/H/f", "hidden");
    WriteHost("P/R/r", "readable");
    WriteHost("P/open.txt", "open");
  }
};

TEST_F(MountLinksTest, AHardLinkOfAnUnlockedFileSharesItsContent) {
  ASSERT_EQ(Probe("link", "P/open.txt", "P/second"), "ok");
  EXPECT_EQ(Probe("write", "P/second", "OPEN"), "ok");
  EXPECT_EQ(Probe("read", "P/open.txt"), "ok:OPEN");
  struct stat st {};
  ASSERT_EQ(stat(Mounted("P/open.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_nlink, 2u);
  EXPECT_EQ(Probe("link", "P/open.txt", "P/second"), "EEXIST");
  EXPECT_EQ(Probe("unlink", "P/second"), "ok");
  EXPECT_EQ(Probe("read", "P/open.txt"), "ok:OPEN");
}

TEST_F(MountLinksTest, HardLinksLeadNeitherOutOfNorIntoALockedFolder) {
  ASSERT_EQ(Lock(u"\\P\\H", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  ASSERT_EQ(Lock(u"\\P\\R", NBFS_LOCK_READONLY), STATUS_SUCCESS);
  struct Case {
    const char* from;
    const char* to;
    const char* outcome;
  } cases[] = {
      {"P/H/f", "P/stolen", "ENOENT"},    // out of the hidden folder: its content is not seen
      {"P/R/r", "P/writable", "EACCES"},  // out of the read-only folder: a writable name for it
      {"P/open.txt", "P/R/in", "EACCES"}, // into the read-only folder
      {"P/open.txt", "P/H/in", "ENOENT"}, // into the hidden folder
  };
  for (const Case& c : cases) EXPECT_EQ(Probe("link", c.from, c.to), c.outcome) << c.from << " -> " << c.to;
  // A process that may only read the hidden folder sees the file but takes no second name
  // of it out of there.
  EXPECT_EQ(TrustedProbe(u"\\P\\H", NBFS_PERMISSION_READ, "link", "P/H/f", "P/stolen"), "EACCES");
  for (const char* made : {"P/stolen", "P/writable", "P/R/in", "P/H/in"}) EXPECT_FALSE(HostExists(made)) << made;
  EXPECT_EQ(std::filesystem::hard_link_count(Host("P/H/f")), 1u);
  EXPECT_EQ(std::filesystem::hard_link_count(Host("P/R/r")), 1u);
  // Full trust in the hidden folder is what it takes.
  EXPECT_EQ(TrustedProbe(u"\\P\\H", NBFS_PERMISSION_FULL, "link", "P/open.txt", "P/H/in"), "ok");
  EXPECT_EQ(ReadHost("P/H/in"), "open");
}

TEST_F(MountLinksTest, ALockedPathGetsNoSecondNameEvenWhilePaused) {
  WriteHost("P/L", "locked");
  ASSERT_EQ(Lock(u"\\P\\L", NBFS_LOCK_READONLY), STATUS_SUCCESS);
  ASSERT_EQ(Pause(u"\\P\\L"), STATUS_SUCCESS);
  EXPECT_EQ(Probe("write", "P/L", "L"), "ok");  // paused: changes go through
  EXPECT_EQ(Probe("link", "P/L", "P/second"), "EACCES");  // but no name outlives the pause
  EXPECT_EQ(TrustedProbe(u"\\P\\L", NBFS_PERMISSION_FULL, "link", "P/L", "P/second"), "EACCES");
  EXPECT_FALSE(HostExists("P/second"));
}

TEST_F(MountLinksTest, ASymbolicLinkIntoAHiddenFolderIsReadableButLeadsNowhere) {
  EXPECT_EQ(Probe("symlink", "P/relative", "H/f"), "ok");
  EXPECT_EQ(Probe("symlink", "P/absolute", Mounted("P/H/f")), "ok");
  EXPECT_EQ(Probe("symlink", "P/folder", "H"), "ok");
  EXPECT_EQ(Probe("read", "P/relative"), "ok:hidden");  // before the lock it leads there
  ASSERT_EQ(Lock(u"\\P\\H", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  for (const char* link : {"P/relative", "P/absolute"}) {
    EXPECT_EQ(Probe("lstat-type", link), "ok:link") << link;
    EXPECT_EQ(Probe("read", link), "ENOENT") << link;
    EXPECT_EQ(Probe("write", link, "x"), "ENOENT") << link;
  }
  EXPECT_EQ(Probe("readlink", "P/relative"), "ok:H/f");
  EXPECT_EQ(Probe("list", "P/folder"), "ENOENT");
  EXPECT_EQ(Probe("read", "P/folder/f"), "ENOENT");
  EXPECT_EQ(Probe("list", "P"), "ok:R,absolute,folder,open.txt,relative");
  // Whoever is trusted on the folder follows the same link through the same checks.
  EXPECT_EQ(TrustedProbe(u"\\P\\H", NBFS_PERMISSION_READ, "read", "P/relative"), "ok:hidden");
  EXPECT_EQ(TrustedProbe(u"\\P\\H", NBFS_PERMISSION_READ, "write", "P/relative", "x"), "EACCES");
  EXPECT_EQ(ReadHost("P/H/f"), "hidden");
  // The link itself is an ordinary name: it goes, its target stays.
  EXPECT_EQ(Probe("unlink", "P/relative"), "ok");
  EXPECT_FALSE(HostExists("P/relative"));
  EXPECT_EQ(ReadHost("P/H/f"), "hidden");
}

TEST_F(MountLinksTest, NoSymbolicLinkIsMadeInAReadOnlyOrHiddenFolder) {
  ASSERT_EQ(Lock(u"\\P\\R", NBFS_LOCK_READONLY), STATUS_SUCCESS);
  ASSERT_EQ(Lock(u"\\P\\H", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  EXPECT_EQ(Probe("symlink", "P/R/s", "../open.txt"), "EACCES");
  EXPECT_EQ(Probe("symlink", "P/H/s", "../open.txt"), "ENOENT");
  EXPECT_FALSE(HostExists("P/R/s"));
  EXPECT_FALSE(HostExists("P/H/s"));
  // A link outside them is made and followed as usual.
  EXPECT_EQ(Probe("symlink", "P/s", "R/r"), "ok");
  EXPECT_EQ(Probe("read", "P/s"), "ok:readable");
  EXPECT_EQ(Probe("write", "P/s", "x"), "EACCES");  // the target's lock holds through the link
  EXPECT_EQ(ReadHost("P/R/r"), "readable");
}

}  // namespace
}  // namespace nb::fuse::testing
