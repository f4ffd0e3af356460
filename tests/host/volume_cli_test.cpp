// The host's volumes from a shell: drive C: and its folders on first boot, volumes and
// serials that outlive the host, add, eject, insert and their refusals; two real
// processes that reach a volume through the drive map, one locking a folder through the
// filter driver the host loaded, the other reading the lock back; and, where FUSE serves
// (root and /dev/fuse), the mounts through which every process meets the filter: the
// locked folder gone for shell tools, mounts that follow eject, insert and stop, and a
// mount left by a killed host cleared by the next start or stop.
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "shell_line.h"

namespace {

namespace fs = std::filesystem;

using nb_host_test::Outcome;
using nb_host_test::RunLine;

bool Has(const Outcome& outcome, const std::string& text) { return outcome.output.find(text) != std::string::npos; }

// Whether the host can serve its volumes through FUSE here.
bool FuseServes() { return geteuid() == 0 && access("/dev/fuse", R_OK | W_OK) == 0; }

// The mount points of the host's FUSE mounts ("fuse.nimbra") below `folder`, as often as
// each is mounted.
std::vector<std::string> NimbraMountsBelow(const std::string& folder) {
  std::ifstream file("/proc/self/mountinfo");
  std::vector<std::string> points;
  std::string line;
  while (std::getline(file, line)) {
    std::istringstream fields(line);
    std::string id, parent, device, source, point;
    fields >> id >> parent >> device >> source >> point;
    if (line.find(" - fuse.nimbra ") != std::string::npos && point.starts_with(folder + "/")) points.push_back(point);
  }
  return points;
}
bool IsMounted(const std::string& point) {
  for (const std::string& each : NimbraMountsBelow(fs::path(point).parent_path().string())) {
    if (each == point) return true;
  }
  return false;
}

// What `volume list` adds for a drive the host mounts at `point`.
std::string MountedAt(const std::string& point) { return FuseServes() ? "  mounted at " + point : ""; }

// The errno a stat of `path` ends with, 0 when it succeeds.
int StatError(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? 0 : errno;
}

// The errno an open of `path` (a file or, with O_DIRECTORY, a folder) ends with, 0 when it
// succeeds.
int OpenError(const std::string& path, int flags = O_RDONLY) {
  int fd = open(path.c_str(), flags);
  if (fd < 0) return errno;
  close(fd);
  return 0;
}

class VolumeCli : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "nbhost-volumes-XXXXXX").string();
    root = mkdtemp(pattern.data());
    for (const char* name : {"stick", "disk", "stick/secret"}) fs::create_directory(root + "/" + name);
  }
  // Stops whatever a failed test left running, and detaches any mount it left.
  void TearDown() override {
    Host("stop");
    for (const std::string& point : NimbraMountsBelow(root)) umount2(point.c_str(), MNT_DETACH);
    fs::remove_all(root);
  }
  Outcome Host(const std::string& arguments) {
    return RunLine(std::string(NB_HOST_PROGRAM) + " " + arguments + " --root " + root);
  }
  Outcome Peer(const std::string& arguments, const std::string& program = NB_VOLUME_PEER) {
    return RunLine("NB_ROOT=" + root + " " + program + " " + arguments);
  }
  std::string root;
};

TEST_F(VolumeCli, FirstBootMakesDriveCWithItsFoldersAndVolumesOutliveTheHost) {
  ASSERT_EQ(Host("start").exitCode, 0);
  Outcome first = Host("volume list");
  ASSERT_EQ(first.exitCode, 0) << first.output;
  std::smatch match;
  ASSERT_TRUE(std::regex_search(
      first.output, match,
      std::regex("^C:  fixed     ([0-9A-F]{4})-([0-9A-F]{4})  present (/\\S+)(  mounted at (/\\S+))?\n$")))
      << first.output;
  std::string systemFolder = match[3];
  EXPECT_EQ(systemFolder, root + "/volumes/" + match[1].str() + match[2].str());
  EXPECT_EQ(match[4].str(), MountedAt(root + "/mnt/c"));
  for (const char* folder : {"Windows/TEMP", "Program Files/Common Files", "Documents and Settings/All Users",
                             "Documents and Settings/Administrator/Recent"}) {
    EXPECT_TRUE(fs::is_directory(systemFolder + "/" + folder)) << folder;
  }

  ASSERT_EQ(Host("volume add E " + root + "/stick --removable --serial 0BAD-CAFE").exitCode, 0);
  // A mount point of its own, made when missing.
  Outcome added = Host("volume add f " + root + "/disk --mount " + root + "/drive-f");
  ASSERT_EQ(added.exitCode, 0) << added.output;
  EXPECT_TRUE(Has(added, "added drive F: (serial ")) << added.output;
  Outcome before = Host("volume list");
  EXPECT_TRUE(Has(before, "E:  removable 0BAD-CAFE  present " + root + "/stick" + MountedAt(root + "/mnt/e") + "\n"))
      << before.output;
  EXPECT_TRUE(Has(before, "  mount " + root + "/drive-f" + MountedAt(root + "/drive-f") + "\n")) << before.output;

  // The first boot's tree is not made again over what a user changed.
  fs::remove(systemFolder + "/Documents and Settings/All Users");
  ASSERT_EQ(Host("stop").exitCode, 0);
  ASSERT_EQ(Host("start").exitCode, 0);
  Outcome after = Host("volume list");
  EXPECT_EQ(after.output, before.output) << "the same volumes, letters and serials";
  EXPECT_EQ(fs::directory_iterator(root + "/volumes") != fs::directory_iterator(), true);
  EXPECT_EQ(std::distance(fs::directory_iterator(root + "/volumes"), fs::directory_iterator()), 1)
      << "no second drive C:";
}

TEST_F(VolumeCli, EjectAndInsertFollowTheSerialAndRefusalsAreClear) {
  ASSERT_EQ(Host("start").exitCode, 0);
  ASSERT_EQ(Host("volume add E " + root + "/stick --removable --serial 12345678").exitCode, 0);

  struct Refusal {
    std::string arguments;
    std::string says;
  };
  const Refusal refusals[] = {
      {"volume add e: " + root + "/disk", "drive E: is in use"},
      {"volume add G " + root + "/missing", "the folder " + root + "/missing does not exist"},
      {"volume add G " + root + "/stick", "backs another volume already"},
      {"volume add G " + root + "/disk --serial 1234-5678", "serial 1234-5678 belongs to another volume"},
      {"volume eject C", "drive C: holds the system and cannot be ejected"},
      {"volume eject Q", "no drive Q: is present"},
      {"volume insert " + root + "/disk", "no volume was added from " + root + "/disk"},
      {"volume insert " + root + "/stick", "is present already"},
  };
  for (const Refusal& refusal : refusals) {
    Outcome outcome = Host(refusal.arguments);
    EXPECT_EQ(outcome.exitCode, 1) << refusal.arguments << ": " << outcome.output;
    EXPECT_TRUE(Has(outcome, refusal.says)) << refusal.arguments << ": " << outcome.output;
  }
  Outcome badLine = Host("volume add E");
  EXPECT_EQ(badLine.exitCode, 2) << badLine.output;
  EXPECT_TRUE(Has(badLine, "usage:")) << badLine.output;

  ASSERT_EQ(Host("volume eject e:").exitCode, 0);
  EXPECT_TRUE(Has(Host("volume list"), "E:  removable 1234-5678  ejected " + root + "/stick\n"));
  Outcome drives = Peer("drives");
  EXPECT_FALSE(Has(drives, "E:")) << drives.output;
  // The letter is free while the medium is out; the medium comes back under another.
  ASSERT_EQ(Host("volume add E " + root + "/disk").exitCode, 0);
  EXPECT_TRUE(Has(Host("volume insert " + root + "/stick"), "drive letter is in use: give another with --letter"));
  Outcome inserted = Host("volume insert " + root + "/stick --letter H");
  ASSERT_EQ(inserted.exitCode, 0) << inserted.output;
  EXPECT_TRUE(Has(inserted, "inserted drive H: (serial 1234-5678)")) << inserted.output;
  drives = Peer("drives");
  // Processes reach the drive at its mount where the host mounts it.
  std::string access = FuseServes() ? root + "/mnt/h" : root + "/stick";
  EXPECT_TRUE(Has(drives, "H: type 2 serial 12345678 folder " + access + "\n")) << drives.output;

  ASSERT_EQ(Host("stop").exitCode, 0);
  Outcome noHost = Host("volume list");
  EXPECT_EQ(noHost.exitCode, 1);
  EXPECT_TRUE(Has(noHost, "no host runs on " + root)) << noHost.output;
}

TEST_F(VolumeCli, OneProcessLocksAFolderThroughTheDriverAndAnotherReadsTheLock) {
  ASSERT_EQ(Host(std::string("start --driver ") + NBFS36_IMAGE).exitCode, 0);
  ASSERT_EQ(Host("volume add E " + root + "/stick --removable").exitCode, 0);
  Outcome locked = Peer("lock E \\\\secret");
  ASSERT_EQ(locked.exitCode, 0) << locked.output;
  Outcome locks = Peer("locks E");
  ASSERT_EQ(locks.exitCode, 0) << locks.output;
  EXPECT_EQ(locks.output, "E: \\secret type 1\n");
  // A folder that is not on the drive is not locked.
  EXPECT_NE(Peer("lock E \\\\missing").exitCode, 0);
  EXPECT_EQ(Peer("locks E").output, "E: \\secret type 1\n");
}

TEST_F(VolumeCli, AProgramOnDriveCIsNamedByItsDrivePath) {
  ASSERT_EQ(Host("start").exitCode, 0);
  std::smatch match;
  std::string list = Host("volume list").output;
  ASSERT_TRUE(std::regex_search(list, match, std::regex("present (/\\S+)"))) << list;
  std::string folder = match[1].str() + "/Program Files/Nimbra";
  fs::create_directories(folder);
  fs::copy_file(NB_VOLUME_PEER, folder + "/volume_peer");
  Outcome inside = Peer("whoami", "'" + folder + "/volume_peer'");
  EXPECT_EQ(inside.output, "C:\\Program Files\\Nimbra\\volume_peer\n");
  Outcome outside = Peer("whoami");
  std::string expected = "\\\\?\\unix" + std::regex_replace(std::string(NB_VOLUME_PEER), std::regex("/"), "\\") + "\n";
  EXPECT_EQ(outside.output, expected);
}

// A host that cannot mount (here: not root) says why in its log and sends processes to
// each drive's backing folder, as before mounts existed.
TEST_F(VolumeCli, AHostThatCannotMountServesDrivesAtTheirFoldersAndLogsWhy) {
  if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs root and setpriv to drop it";
  fs::permissions(root, fs::perms::all);
  const std::string nobody = "/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups ";
  auto asNobody = [&](const std::string& line) { return RunLine(nobody + line); };
  ASSERT_EQ(asNobody(std::string(NB_HOST_PROGRAM) + " start --root " + root).exitCode, 0);
  Outcome list = asNobody(std::string(NB_HOST_PROGRAM) + " volume list --root " + root);
  std::smatch match;
  ASSERT_TRUE(std::regex_search(list.output, match, std::regex("^C:  fixed     \\S+  present (/\\S+)\n$")))
      << list.output;
  Outcome drives = asNobody("env NB_ROOT=" + root + " " + NB_VOLUME_PEER + " drives");
  EXPECT_TRUE(Has(drives, "C: type 3 serial ")) << drives.output;
  EXPECT_TRUE(Has(drives, " folder " + match[1].str() + "\n")) << drives.output;
  EXPECT_TRUE(NimbraMountsBelow(root).empty());
  EXPECT_EQ(asNobody(std::string(NB_HOST_PROGRAM) + " stop --root " + root).exitCode, 0);
  std::ifstream log(root + "/log/nbhost.log");
  std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(Has(Outcome{0, text}, "drive C: is not mounted at " + root + "/mnt/c (the host does not run as root)"))
      << text;
}

// The host's mounts, where FUSE serves: what the next tests need, or why they skip.
class HostMounts : public VolumeCli {
 protected:
  void SetUp() override {
    if (!FuseServes()) GTEST_SKIP() << "the host mounts its volumes only as root with /dev/fuse";
    VolumeCli::SetUp();
  }
  // The pid the running host wrote.
  int HostPid() {
    std::ifstream file(root + "/run/nbhost.pid");
    int pid = 0;
    file >> pid;
    return pid;
  }
  // Kills the host as a crash would and waits until its mounts are dead (ENOTCONN).
  void KillHost(const std::string& mountPoint) {
    int pid = HostPid();
    ASSERT_GT(pid, 1);
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (StatError(mountPoint) != ENOTCONN) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the killed host's mount did not die";
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
};

TEST_F(HostMounts, AFolderLockedThroughTheDriverIsGoneForShellToolsAtTheMountOnly) {
  std::ofstream(root + "/stick/secret/f") << "hidden text";
  std::ofstream(root + "/stick/open") << "open text";
  ASSERT_EQ(Host(std::string("start --driver ") + NBFS36_IMAGE).exitCode, 0);
  ASSERT_EQ(Host("volume add E " + root + "/stick --removable").exitCode, 0);
  const std::string mount = root + "/mnt/e";
  ASSERT_TRUE(IsMounted(mount));
  EXPECT_TRUE(Has(RunLine("ls " + mount), "secret"));

  ASSERT_EQ(Peer("lock E \\\\secret").exitCode, 0);
  // Other processes, by every road a shell has: the listing, the name, a file below it.
  Outcome listing = RunLine("ls -a " + mount);
  EXPECT_EQ(listing.exitCode, 0) << listing.output;
  EXPECT_FALSE(Has(listing, "secret")) << listing.output;
  EXPECT_TRUE(Has(listing, "open")) << listing.output;
  for (const std::string& line : {"stat " + mount + "/secret", "cat " + mount + "/secret/f",
                                  "ls " + mount + "/secret", "touch " + mount + "/secret/new"}) {
    Outcome refused = RunLine(line);
    EXPECT_NE(refused.exitCode, 0) << line;
    EXPECT_TRUE(Has(refused, "No such file or directory")) << line << ": " << refused.output;
  }
  EXPECT_EQ(StatError(mount + "/secret"), ENOENT);
  EXPECT_EQ(RunLine("cat " + mount + "/open").output, "open text");
  // The drive map sends programs to the mount; the backing folder keeps the content.
  EXPECT_TRUE(Has(Peer("drives"), "E: type 2 serial ")) << "drive E: present";
  EXPECT_TRUE(Has(Peer("drives"), " folder " + mount + "\n"));
  EXPECT_EQ(RunLine("cat " + root + "/stick/secret/f").output, "hidden text");
  EXPECT_FALSE(fs::exists(root + "/stick/secret/new"));

  // Eject unmounts (the plain folder stays), insert mounts again.
  ASSERT_EQ(Host("volume eject E").exitCode, 0);
  EXPECT_FALSE(IsMounted(mount));
  EXPECT_EQ(StatError(mount), 0);
  EXPECT_FALSE(Has(Host("volume list"), "mounted at " + mount));
  ASSERT_EQ(Host("volume insert " + root + "/stick").exitCode, 0);
  EXPECT_TRUE(IsMounted(mount));
  EXPECT_EQ(RunLine("cat " + mount + "/open").output, "open text");
  EXPECT_TRUE(Has(Host("volume list"), "mounted at " + mount + "\n"));

  // Stop leaves no mount, and the folders are plain again.
  ASSERT_EQ(Host("stop").exitCode, 0);
  EXPECT_TRUE(NimbraMountsBelow(root).empty());
  EXPECT_EQ(StatError(mount), 0);
  EXPECT_EQ(StatError(root + "/mnt/c"), 0);
}

TEST_F(HostMounts, AnOvermountedFolderIsFilteredAtItsOwnPath) {
  fs::create_directory(root + "/disk/private");
  std::ofstream(root + "/disk/f") << "disk text";
  ASSERT_EQ(Host(std::string("start --driver ") + NBFS36_IMAGE).exitCode, 0);
  ASSERT_EQ(Host("volume add F " + root + "/disk --overmount").exitCode, 0);
  EXPECT_TRUE(IsMounted(root + "/disk"));
  EXPECT_TRUE(Has(Host("volume list"), "  overmount  mounted at " + root + "/disk\n"));
  ASSERT_EQ(Peer("lock F \\\\private").exitCode, 0);
  // The backing folder's own path leads through the filter.
  EXPECT_FALSE(Has(RunLine("ls " + root + "/disk"), "private"));
  EXPECT_EQ(StatError(root + "/disk/private"), ENOENT);
  EXPECT_EQ(RunLine("cat " + root + "/disk/f").output, "disk text");
  // Ejected, the folder is plain again.
  ASSERT_EQ(Host("volume eject F").exitCode, 0);
  EXPECT_FALSE(IsMounted(root + "/disk"));
  EXPECT_EQ(StatError(root + "/disk/private"), 0);
}

TEST_F(HostMounts, AMountLeftByAKilledHostIsClearedByTheNextStartOrStop) {
  ASSERT_EQ(Host("start").exitCode, 0);
  ASSERT_EQ(Host("volume add E " + root + "/stick --removable").exitCode, 0);
  ASSERT_EQ(Host("volume add F " + root + "/disk --overmount").exitCode, 0);
  std::ofstream(root + "/disk/f") << "disk text";
  ASSERT_EQ(OpenError(root + "/disk/f"), 0);
  KillHost(root + "/mnt/e");
  // The overmounted folder fails closed the moment its host is gone: nothing in it opens
  // or lists, although its names were used just before.
  EXPECT_EQ(OpenError(root + "/disk/f"), ENOTCONN) << "an overmounted folder fails closed while the host is down";
  EXPECT_EQ(OpenError(root + "/disk", O_RDONLY | O_DIRECTORY), ENOTCONN);
  // A stat may be answered from what the kernel kept of an ungoverned name, for at most the
  // time it was given (a second).
  auto kept = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (StatError(root + "/disk") != ENOTCONN && std::chrono::steady_clock::now() < kept)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(StatError(root + "/disk"), ENOTCONN);
  EXPECT_EQ(StatError(root + "/mnt/c"), ENOTCONN);

  Outcome started = Host("start");
  ASSERT_EQ(started.exitCode, 0) << started.output;
  std::vector<std::string> mounts = NimbraMountsBelow(root);
  for (const std::string& point : {root + "/mnt/c", root + "/mnt/e", root + "/disk"}) {
    EXPECT_EQ(StatError(point), 0) << point;
    EXPECT_EQ(std::count(mounts.begin(), mounts.end(), point), 1) << point << " mounted once, the dead mount gone";
  }
  Outcome list = Host("volume list");
  EXPECT_TRUE(Has(list, "mounted at " + root + "/mnt/e\n")) << list.output;
  EXPECT_TRUE(Has(list, "overmount  mounted at " + root + "/disk\n")) << list.output;

  // With no host to start, stop clears the dead mounts below the root's mount folder; the
  // overmounted folder stays closed until a host serves it again.
  KillHost(root + "/mnt/e");
  Outcome stopped = Host("stop");
  EXPECT_EQ(stopped.exitCode, 0) << stopped.output;
  EXPECT_TRUE(Has(stopped, "removed the mount at " + root + "/mnt/e")) << stopped.output;
  EXPECT_TRUE(NimbraMountsBelow(root + "/mnt").empty());
  EXPECT_EQ(StatError(root + "/mnt/c"), 0);
  EXPECT_EQ(StatError(root + "/disk"), ENOTCONN);
  ASSERT_EQ(Host("start").exitCode, 0);
  EXPECT_TRUE(IsMounted(root + "/disk"));
  ASSERT_EQ(Host("stop").exitCode, 0);
  EXPECT_TRUE(NimbraMountsBelow(root).empty());
}

}  // namespace
