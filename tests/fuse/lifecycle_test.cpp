// Mounting over the backing folder itself, unmounting under open files, and a mount left
// by a host that ended without unmounting.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>

#include "mount_fixture.h"
#include "nbfsctl.h"

namespace nb::fuse::testing {
namespace {

class LifecycleTest : public MountTest {
 protected:
  void SetUp() override {
    MountTest::SetUp();
    if (IsSkipped()) return;
    WriteHost("P/H/f", "hidden");
    WriteHost("P/x", "x");
  }
  // Ends a mount's connection as the death of its host does, leaving the mount behind.
  static void KillConnection(const std::string& mountPoint) {
    struct stat st {};
    ASSERT_EQ(stat(mountPoint.c_str(), &st), 0);
    std::ofstream("/sys/fs/fuse/connections/" + std::to_string(minor(st.st_dev)) + "/abort") << "1";
  }
  static int ErrorOf(int result) { return result < 0 ? errno : 0; }
};

TEST_F(LifecycleTest, UnmountUnderAnOpenFileEndsItsRequestsAndLeavesTheFolder) {
  int fd = open(Mounted("P/x").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  mount_.Unmount();
  EXPECT_FALSE(mount_.Mounted());
  char buffer[4];
  EXPECT_LT(pread(fd, buffer, sizeof buffer, 0), 0);
  close(fd);
  struct stat st {};
  EXPECT_EQ(stat(mountPoint_.c_str(), &st), 0);  // the plain folder again
  EXPECT_FALSE(IsStaleMount(mountPoint_));
  mount_.Unmount();  // a second time does nothing
}

TEST_F(LifecycleTest, OvermountedFolderIsFilteredForEveryoneAndFailsClosedWhenItsHostDies) {
  mount_.Unmount();
  MountParameters over;
  over.volume = u"\\DosDevices\\X:";
  over.mountPoint = backing_.string();
  auto first = std::make_unique<VolumeMount>(machine_.Kernel());
  ASSERT_EQ(first->Mount(over), STATUS_SUCCESS);
  ASSERT_EQ(Lock(u"\\P\\H", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  // The backing folder's own path now leads through the filter.
  EXPECT_EQ(Run({FS_PROBE, "stat", (backing_ / "P/H").string()}), "ENOENT");
  EXPECT_EQ(Run({FS_PROBE, "read", (backing_ / "P/x").string()}), "ok:x");

  KillConnection(backing_.string());
  EXPECT_TRUE(IsStaleMount(backing_.string()));
  // Nothing gets through a dead front end, the hidden folder least of all.
  EXPECT_EQ(Run({FS_PROBE, "read", (backing_ / "P/H/f").string()}), "ENOTCONN");
  EXPECT_EQ(Run({FS_PROBE, "list", (backing_ / "P").string()}), "ENOTCONN");

  // The next start finds the dead mount, removes it and mounts afresh.
  VolumeMount second(machine_.Kernel());
  ASSERT_EQ(second.Mount(over), STATUS_SUCCESS);
  EXPECT_FALSE(IsStaleMount(backing_.string()));
  EXPECT_EQ(Run({FS_PROBE, "stat", (backing_ / "P/H").string()}), "ENOENT");
  EXPECT_EQ(Run({FS_PROBE, "read", (backing_ / "P/x").string()}), "ok:x");
  first.reset();  // the dead instance still lets go of what it held
  second.Unmount();
  EXPECT_EQ(ReadHost("P/H/f"), "hidden");
}

TEST_F(LifecycleTest, MountRefusesBadPointsVolumesAndASecondMount) {
  MountParameters parameters;
  parameters.volume = u"\\DosDevices\\X:";
  parameters.mountPoint = mountPoint_;
  EXPECT_EQ(mount_.Mount(parameters), STATUS_OBJECT_NAME_COLLISION);
  VolumeMount other(machine_.Kernel());
  parameters.mountPoint = (top_ / "missing").string();
  EXPECT_EQ(other.Mount(parameters), STATUS_OBJECT_PATH_NOT_FOUND);
  std::filesystem::create_directory(top_ / "other");
  parameters.mountPoint = (top_ / "other").string();
  parameters.volume = u"\\DosDevices\\Q:";
  EXPECT_EQ(other.Mount(parameters), STATUS_NO_SUCH_DEVICE);
  EXPECT_FALSE(other.Mounted());
}

}  // namespace
}  // namespace nb::fuse::testing
