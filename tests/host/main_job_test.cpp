// The system's main job on a fresh machine: the store and the drivers put in place, the
// service installed and started; it locks the default folder, and after a restart of the
// host it is started again and locks it again.
#include <sys/wait.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "shell_line.h"

namespace {

namespace fs = std::filesystem;

using nb_host_test::Outcome;
using nb_host_test::RunLine;

class MainJob : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "nbhost-main-XXXXXX").string();
    root = mkdtemp(pattern.data());
  }
  void TearDown() override {
    Host("stop");
    fs::remove_all(root);
  }
  Outcome Host(const std::string& arguments) {
    return RunLine(std::string(NB_HOST_PROGRAM) + " " + arguments + " --root " + root);
  }
  Outcome Run(const std::string& program, const std::string& arguments) {
    return RunLine("NB_ROOT=" + root + " " + program + " " + arguments);
  }
  // The service's own answer to its status query, polled until it runs.
  bool ServiceRuns() {
    for (int i = 0; i < 100; ++i) {
      if (Run(NB_SERVICE_PROGRAM, "/t").output.find("The service is running.") != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  // The driver's locks on C:, polled until they are `expected` (the service reports itself
  // running before its start-up has applied them).
  std::string LocksOnC(const std::string& expected) {
    std::string locks;
    for (int i = 0; i < 100; ++i) {
      locks = Run(NB_VOLUME_PEER, "locks C").output;
      if (locks == expected) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return locks;
  }
  std::string root;
};

TEST_F(MainJob, TheServiceLocksTheDefaultFolderAndDoesSoAgainAfterARestart) {
  ASSERT_EQ(Host("start").exitCode, 0);
  Outcome installed = Run(NB_INSTALL_PROGRAM, std::string(NBFS36_IMAGE) + " " + NBDV15_IMAGE);
  ASSERT_EQ(installed.exitCode, 0) << installed.output;
  ASSERT_EQ(Run(NB_SERVICE_PROGRAM, "/i").exitCode, 0);
  Outcome again = Run(NB_SERVICE_PROGRAM, "/i");
  EXPECT_NE(again.exitCode, 0) << "a second installation is refused: " << again.output;
  ASSERT_EQ(Run(NB_SERVICE_PROGRAM, "/c").exitCode, 0);
  ASSERT_TRUE(ServiceRuns());
  const std::string locked = "C: \\Windows\\Application Data\\NB type 1\n";
  EXPECT_EQ(LocksOnC(locked), locked);

  ASSERT_EQ(Host("stop").exitCode, 0);
  ASSERT_EQ(Host("start").exitCode, 0);
  ASSERT_TRUE(ServiceRuns()) << "the service starts with the machine";
  EXPECT_EQ(LocksOnC(locked), locked);
}

}  // namespace
