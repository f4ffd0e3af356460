// The host's volumes from a shell: drive C: and its folders on first boot, volumes and
// serials that outlive the host, add, eject, insert and their refusals; and two real
// processes that reach a volume through the drive map, one locking a folder through the
// filter driver the host loaded, the other reading the lock back.
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int exitCode;
  std::string output;  // standard output and error together
};

Outcome RunLine(const std::string& line) {
  FILE* pipe = popen((line + " 2>&1").c_str(), "r");
  Outcome outcome{-1, {}};
  if (!pipe) return outcome;
  std::array<char, 256> chunk;
  while (size_t read = fread(chunk.data(), 1, chunk.size(), pipe)) outcome.output.append(chunk.data(), read);
  int status = pclose(pipe);
  outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

bool Has(const Outcome& outcome, const std::string& text) { return outcome.output.find(text) != std::string::npos; }

class VolumeCli : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "nbhost-volumes-XXXXXX").string();
    root = mkdtemp(pattern.data());
    for (const char* name : {"stick", "disk", "stick/secret"}) fs::create_directory(root + "/" + name);
  }
  // Stops whatever a failed test left running.
  void TearDown() override {
    Host("stop");
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
  ASSERT_TRUE(std::regex_search(first.output, match,
                                std::regex("^C:  fixed     ([0-9A-F]{4})-([0-9A-F]{4})  present (/\\S+)\n$")))
      << first.output;
  std::string systemFolder = match[3];
  EXPECT_EQ(systemFolder, root + "/volumes/" + match[1].str() + match[2].str());
  for (const char* folder : {"Windows/TEMP", "Program Files/Common Files", "Documents and Settings/All Users",
                             "Documents and Settings/Administrator/Recent"}) {
    EXPECT_TRUE(fs::is_directory(systemFolder + "/" + folder)) << folder;
  }

  ASSERT_EQ(Host("volume add E " + root + "/stick --removable --serial 0BAD-CAFE").exitCode, 0);
  Outcome added = Host("volume add f " + root + "/disk --mount /mnt/nimbra-f");
  ASSERT_EQ(added.exitCode, 0) << added.output;
  EXPECT_TRUE(Has(added, "added drive F: (serial ")) << added.output;
  Outcome before = Host("volume list");
  EXPECT_TRUE(Has(before, "E:  removable 0BAD-CAFE  present " + root + "/stick\n")) << before.output;
  EXPECT_TRUE(Has(before, "  mount /mnt/nimbra-f\n")) << before.output;

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
  EXPECT_TRUE(Has(drives, "H: type 2 serial 12345678 folder " + root + "/stick\n")) << drives.output;

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

}  // namespace
