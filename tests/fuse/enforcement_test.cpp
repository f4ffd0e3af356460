// Locks as separate Linux processes meet them through the mount.
#include <sys/stat.h>

#include "mount_fixture.h"
#include "nbfsctl.h"

namespace nb::fuse::testing {
namespace {

class MountEnforcementTest : public MountTest {
 protected:
  void SetUp() override {
    MountTest::SetUp();
    if (IsSkipped()) return;
    WriteHost("P/H/f", "hidden");
    WriteHost("P/R/r", "readable");
    WriteHost("P/open.txt", "open");
  }
};

TEST_F(MountEnforcementTest, HiddenFolderVanishesForUntrustedProcessesEvenAfterATrustedOneUsedIt) {
  ASSERT_EQ(Probe("stat", "P/H"), "ok");  // looked up and known to the kernel before the lock
  ASSERT_EQ(Lock(u"\\P\\H", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  EXPECT_EQ(TrustedProbe(u"\\P\\H", NBFS_PERMISSION_READ, "read", "P/H/f"), "ok:hidden");
  EXPECT_EQ(TrustedProbe(u"\\P\\H", NBFS_PERMISSION_READ, "list", "P/H"), "ok:f");
  (void)TrustedProbe(u"\\P\\H", NBFS_PERMISSION_READ, "list", "P");
  // Right after, an untrusted process is told nothing is there.
  EXPECT_EQ(Probe("list", "P"), "ok:R,open.txt");
  EXPECT_EQ(Probe("stat", "P/H"), "ENOENT");
  EXPECT_EQ(Probe("read", "P/H/f"), "ENOENT");
  EXPECT_EQ(Probe("list", "P/H"), "ENOENT");
  EXPECT_EQ(Probe("mkdir", "P/H"), "EACCES");  // the name is taken, its owner unseen
  // The test process itself is an untrusted caller as well.
  struct stat st {};
  EXPECT_NE(stat(Mounted("P/H").c_str(), &st), 0);
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(MountEnforcementTest, ReadOnlyFolderLetsReadersThroughAndRefusesEveryChange) {
  ASSERT_EQ(Lock(u"\\P\\R", NBFS_LOCK_READONLY), STATUS_SUCCESS);
  EXPECT_EQ(Run({"/bin/cat", Mounted("P/R/r")}), "readable");
  EXPECT_EQ(Probe("list", "P/R"), "ok:r");
  struct Case {
    const char* op;
    const char* path;
    const char* arg;
  } cases[] = {
      {"write", "P/R/r", "x"},      {"append", "P/R/r", "x"},     {"trunc-open", "P/R/r", ""},
      {"create", "P/R/new", ""},    {"mkdir", "P/R/d", ""},       {"rename", "P/R/r", "P/R/s"},
      {"rename", "P/R/r", "P/out"}, {"rename", "P/open.txt", "P/R/in"}, {"unlink", "P/R/r", ""},
      {"chmod", "P/R/r", ""},       {"truncate", "P/R/r", ""},    {"utimens", "P/R/r", ""},
      {"link", "P/open.txt", "P/R/l"}, {"rmdir", "P/R", ""},
  };
  for (const Case& c : cases) {
    std::string outcome = Probe(c.op, c.path, c.arg);
    EXPECT_TRUE(outcome == "EACCES" || (std::string(c.op) == "link" && outcome == "EPERM"))
        << c.op << " " << c.path << " " << c.arg << ": " << outcome;
  }
  EXPECT_EQ(ReadHost("P/R/r"), "readable");
  EXPECT_FALSE(HostExists("P/R/new"));
  // A writer trusted with full permission changes it.
  EXPECT_EQ(TrustedProbe(u"\\P\\R", NBFS_PERMISSION_FULL, "write", "P/R/r", "W"), "ok");
  EXPECT_EQ(ReadHost("P/R/r"), "Weadable");
}

TEST_F(MountEnforcementTest, PauseResumeAndDeleteOfALockShowAtTheNextRequest) {
  ASSERT_EQ(Lock(u"\\P\\H", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  EXPECT_EQ(Probe("stat", "P/H/f"), "ENOENT");
  ASSERT_EQ(Pause(u"\\P\\H"), STATUS_SUCCESS);
  EXPECT_EQ(Probe("read", "P/H/f"), "ok:hidden");
  EXPECT_EQ(Probe("list", "P"), "ok:H,R,open.txt");
  ASSERT_EQ(Resume(u"\\P\\H"), STATUS_SUCCESS);
  EXPECT_EQ(Probe("stat", "P/H/f"), "ENOENT");
  EXPECT_EQ(Probe("list", "P"), "ok:R,open.txt");
  ASSERT_EQ(Unlock(u"\\P\\H"), STATUS_SUCCESS);
  EXPECT_EQ(Probe("stat", "P/H"), "ok");
}

TEST_F(MountEnforcementTest, LockedFolderAndItsParentAreNotRenamedEvenWhilePaused) {
  ASSERT_EQ(Lock(u"\\P\\H", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  ASSERT_EQ(Pause(u"\\P\\H"), STATUS_SUCCESS);
  EXPECT_EQ(Probe("rename", "P/H", "P/H2"), "EACCES");
  EXPECT_EQ(Probe("rename", "P", "P2"), "EACCES");
  EXPECT_TRUE(HostExists("P/H/f"));
}

TEST_F(MountEnforcementTest, NetworkImageIsRefusedEvenWhenTrusted) {
  ASSERT_EQ(Lock(u"\\P\\H", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  std::string smbd = (top_ / "smbd").string();
  std::filesystem::copy_file(FS_PROBE, smbd);
  std::filesystem::permissions(smbd, std::filesystem::perms::owner_all);
  EXPECT_EQ(Run({smbd, "read", Mounted("P/H/f")},
                [&](pid_t pid) {
                  EXPECT_EQ(Trust(u"\\P\\H", static_cast<ULONG>(pid), "smbd.exe", NBFS_PERMISSION_FULL),
                            STATUS_SUCCESS);
                }),
            "ENOENT");  // refused, and the folder stays out of its sight
  EXPECT_EQ(TrustedProbe(u"\\P\\H", NBFS_PERMISSION_FULL, "read", "P/H/f"), "ok:hidden");
}

TEST_F(MountEnforcementTest, AProcessIsJudgedAsTheProgramItExecedIntoFromItsNextRequest) {
  ASSERT_EQ(Lock(u"\\P\\H", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  // The shell looks first (its test is a builtin, so the request is its own), then becomes
  // the trusted program under the same process id.
  const std::string hidden = Mounted("P/H");
  const std::string script = "[ -e " + hidden + " ] && echo seen || echo unseen; exec " FS_PROBE " stat " + hidden;
  EXPECT_EQ(Run({"/bin/sh", "-c", script},
                [&](pid_t pid) {
                  EXPECT_EQ(Trust(u"\\P\\H", static_cast<ULONG>(pid), "fs_probe.exe", NBFS_PERMISSION_READ),
                            STATUS_SUCCESS);
                }),
            "unseen\nok");
}

}  // namespace
}  // namespace nb::fuse::testing
