// Finding the host's FUSE mounts in a mountinfo text: only "fuse.nimbra" mounts, their
// points with mountinfo's octal escapes undone, whatever optional tags a line carries.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "nb/host/host_mounts.h"

namespace {

struct Case {
  const char* name;
  std::string mountinfo;
  std::vector<std::string> points;
};

TEST(NimbraMounts, AreFoundByTypeWithTheirPointsUnescaped) {
  const Case cases[] = {
      {"one mount", "46 27 0:41 / /tmp/r/mnt/c rw,nosuid - fuse.nimbra nimbra rw,user_id=0\n", {"/tmp/r/mnt/c"}},
      {"other types are not ours",
       "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n2 1 0:5 / /mnt/x rw - fuse.sshfs host: rw\n3 1 0:6 / /mnt/y rw - fuse "
       "nimbra rw\n",
       {}},
      {"optional tags before the separator", "46 27 0:41 / /a rw shared:5 master:2 - fuse.nimbra nimbra rw\n", {"/a"}},
      {"escaped space, tab, newline and backslash",
       "46 27 0:41 / /a\\040b\\011c\\012d\\134e rw - fuse.nimbra nimbra rw\n", {"/a b\tc\nd\\e"}},
      {"a backslash that is not an escape stays", "46 27 0:41 / /a\\9x\\04 rw - fuse.nimbra nimbra rw", {"/a\\9x\\04"}},
      {"in order, the last line without a newline",
       "1 0 0:41 / /p rw - fuse.nimbra nimbra rw\n2 0 0:42 / /q rw - fuse.nimbra nimbra rw", {"/p", "/q"}},
      {"short and broken lines are skipped", "\n46 27\n46 27 0:41 / /a rw fuse.nimbra\n- fuse.nimbra\n", {}},
  };
  for (const Case& each : cases) {
    EXPECT_EQ(nb::host::NimbraMountsIn(each.mountinfo), each.points) << each.name;
  }
}

TEST(NimbraMounts, DefaultPointsAreTheLowerCaseLetterBelowTheMountRoot) {
  EXPECT_EQ(nb::host::HostMounts::DefaultMountPoint("/var/lib/nimbra/mnt", 'C'), "/var/lib/nimbra/mnt/c");
  EXPECT_EQ(nb::host::HostMounts::DefaultMountPoint("/r/mnt", 'Z'), "/r/mnt/z");
}

}  // namespace
