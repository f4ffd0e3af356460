// The store, the log writer and the registry helper in real processes against a running
// host: the daily log lands in the system drive's TEMP\NB folder, a lock database written
// by one process is read by another and outlives the host, and a registry number survives
// a restart.
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "shell_line.h"

namespace {

namespace fs = std::filesystem;

using nb_host_test::Outcome;
using nb_host_test::RunLine;

class StoreOnHost : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "nbhost-store-XXXXXX").string();
    root = mkdtemp(pattern.data());
    ASSERT_EQ(Host("start").exitCode, 0);
    Outcome list = Host("volume list");
    std::smatch match;
    ASSERT_TRUE(
        std::regex_search(list.output, match, std::regex("C:  fixed     \\S+  present (/\\S+)(  mounted at \\S+)?\n")))
        << list.output;
    systemFolder = match[1];
  }
  void TearDown() override {
    Host("stop");
    fs::remove_all(root);
  }
  Outcome Host(const std::string& arguments) {
    return RunLine(std::string(NB_HOST_PROGRAM) + " " + arguments + " --root " + root);
  }
  Outcome Peer(const std::string& arguments) {
    return RunLine("NB_ROOT=" + root + " " + NB_STORE_PEER + " " + arguments);
  }
  std::string root;
  std::string systemFolder;
};

TEST_F(StoreOnHost, TheServiceLogGoesToTheSystemDrivesTempFolderOnlyWhenItExists) {
  fs::path logFolder = fs::path(systemFolder) / "Windows" / "TEMP" / "NB";
  Outcome unlogged = Peer("log 'before the folder'");
  ASSERT_EQ(unlogged.exitCode, 0) << unlogged.output;
  EXPECT_NE(unlogged.output.find("before the folder"), std::string::npos) << "the console echo stays";
  EXPECT_FALSE(fs::exists(logFolder));

  fs::create_directory(logFolder);
  ASSERT_EQ(Peer("log 'service at 100%'").exitCode, 0);
  std::string text;
  for (const auto& entry : fs::directory_iterator(logFolder)) {
    std::ifstream file(entry.path());
    text += std::string(std::istreambuf_iterator<char>(file), {});
  }
  EXPECT_NE(text.find(":NBSvc:service at 100%"), std::string::npos) << text;
  EXPECT_EQ(text.find("before the folder"), std::string::npos) << text;
}

TEST_F(StoreOnHost, ALockStoredByOneProcessIsReadByAnotherAndOutlivesTheHost) {
  ASSERT_EQ(Peer("install 'C:\\Windows\\Application Data\\NB'").exitCode, 0);
  EXPECT_TRUE(fs::exists(fs::path(systemFolder) / "Windows" / "Application Data" / "NB" / "user"));
  const std::string db = "'C:\\Windows\\Application Data\\NB\\lock'";
  ASSERT_EQ(Peer("addlock " + db + " '\\Data'").exitCode, 0);
  Outcome read = Peer("locks " + db);
  ASSERT_EQ(read.exitCode, 0) << read.output;
  EXPECT_EQ(read.output, "C: \\Data 1234\n");

  ASSERT_EQ(Host("stop").exitCode, 0);
  ASSERT_EQ(Host("start").exitCode, 0);
  EXPECT_EQ(Peer("locks " + db).output, "C: \\Data 1234\n");
}

TEST_F(StoreOnHost, ARegistryNumberSurvivesARestart) {
  ASSERT_EQ(Peer("setnumber Probe 4711").exitCode, 0);
  ASSERT_EQ(Host("stop").exitCode, 0);
  ASSERT_EQ(Host("start").exitCode, 0);
  Outcome read = Peer("number Probe");
  ASSERT_EQ(read.exitCode, 0) << read.output;
  EXPECT_EQ(read.output, "4711\n");
}

}  // namespace
