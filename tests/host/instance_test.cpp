// The single-host lock of a machine root: held once, told apart from a dead host's files.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "nb/host/instance.h"

namespace nb::host {
namespace {

namespace fs = std::filesystem;

class InstanceLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "nbhost-XXXXXX").string();
    root = mkdtemp(pattern.data());
    std::string error;
    ASSERT_TRUE(CreateRootFolders(RootLayout(root), &error)) << error;
  }
  void TearDown() override { fs::remove_all(root); }
  std::string root;
};

TEST_F(InstanceLockTest, OneHolderAtATimeAndACleanReleaseLeavesNothing) {
  RootLayout layout(root);
  EXPECT_FALSE(ProbeHost(layout).running);
  InstanceLock first;
  HostState previous;
  std::string error;
  ASSERT_EQ(first.Acquire(layout, &previous, &error), InstanceLock::Result::kAcquired) << error;
  EXPECT_FALSE(previous.staleFiles);
  ASSERT_TRUE(first.WriteOwner(4242, &error)) << error;

  HostState probed = ProbeHost(layout);
  EXPECT_TRUE(probed.running);
  EXPECT_EQ(probed.pid, 4242);

  InstanceLock second;
  EXPECT_EQ(second.Acquire(layout, &previous, &error), InstanceLock::Result::kAlreadyRunning);
  EXPECT_EQ(previous.pid, 4242);
  EXPECT_FALSE(second.held());

  std::ofstream(layout.socket) << "";
  first.Release();
  EXPECT_FALSE(fs::exists(layout.pidFile));
  EXPECT_FALSE(fs::exists(layout.socket));
  EXPECT_FALSE(ProbeHost(layout).running);
  EXPECT_EQ(second.Acquire(layout, &previous, &error), InstanceLock::Result::kAcquired) << error;
}

// A host killed with -9 leaves its pid file and socket, but not its lock.
TEST_F(InstanceLockTest, ADeadHostsFilesAreStaleAndCleanedByTheNextHost) {
  RootLayout layout(root);
  std::ofstream(layout.pidFile) << "31337\n";
  std::ofstream(layout.socket) << "";
  HostState probed = ProbeHost(layout);
  EXPECT_FALSE(probed.running);
  EXPECT_TRUE(probed.staleFiles);
  EXPECT_EQ(probed.pid, 31337);

  InstanceLock lock;
  HostState previous;
  std::string error;
  ASSERT_EQ(lock.Acquire(layout, &previous, &error), InstanceLock::Result::kAcquired) << error;
  EXPECT_TRUE(previous.staleFiles);
  EXPECT_EQ(previous.pid, 31337);
  EXPECT_FALSE(fs::exists(layout.socket));
  EXPECT_EQ(fs::file_size(layout.pidFile), 0u);
}

TEST_F(InstanceLockTest, ARootThatCannotBeMadeIsAnError) {
  std::ofstream(root + "/file") << "x";
  std::string error;
  EXPECT_FALSE(CreateRootFolders(RootLayout(root + "/file/below"), &error));
  EXPECT_NE(error.find("/file/below"), std::string::npos) << error;
}

}  // namespace
}  // namespace nb::host
