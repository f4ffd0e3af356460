// nbhost started, asked after and stopped from a shell on temporary roots.
#include <signal.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int exitCode;
  std::string output;  // standard output and error together
};

Outcome RunHost(const std::string& arguments) {
  std::string line = std::string(NB_HOST_PROGRAM) + " " + arguments + " 2>&1";
  FILE* pipe = popen(line.c_str(), "r");
  Outcome outcome{-1, {}};
  if (!pipe) return outcome;
  std::array<char, 256> chunk;
  while (size_t read = fread(chunk.data(), 1, chunk.size(), pipe)) outcome.output.append(chunk.data(), read);
  int status = pclose(pipe);
  outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

pid_t PidOf(const std::string& root) {
  std::ifstream file(root + "/run/nbhost.pid");
  pid_t pid = 0;
  file >> pid;
  return pid;
}

class HostCli : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "nbhost-cli-XXXXXX").string();
    root = mkdtemp(pattern.data());
  }
  // Stops whatever a failed test left running.
  void TearDown() override {
    RunHost("stop --root " + root);
    fs::remove_all(root);
  }
  std::string root;
};

TEST_F(HostCli, StartStatusStopLeaveACleanRoot) {
  Outcome started = RunHost("start --root " + root);
  ASSERT_EQ(started.exitCode, 0) << started.output;
  EXPECT_NE(started.output.find("started on " + root), std::string::npos) << started.output;
  pid_t pid = PidOf(root);
  ASSERT_GT(pid, 1);
  EXPECT_EQ(kill(pid, 0), 0);

  Outcome status = RunHost("status --root " + root);
  EXPECT_EQ(status.exitCode, 0) << status.output;
  EXPECT_NE(status.output.find("pid " + std::to_string(pid)), std::string::npos) << status.output;

  Outcome second = RunHost("start --root " + root);
  EXPECT_EQ(second.exitCode, 1) << second.output;
  EXPECT_NE(second.output.find("already runs on " + root), std::string::npos) << second.output;

  Outcome stopped = RunHost("stop --root " + root);
  ASSERT_EQ(stopped.exitCode, 0) << stopped.output;
  EXPECT_FALSE(fs::exists(root + "/run/nbhost.pid"));
  EXPECT_FALSE(fs::exists(root + "/run/nbhost.sock"));
  EXPECT_EQ(RunHost("status --root " + root).exitCode, 3);

  std::ifstream log(root + "/log/nbhost.log");
  std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("host up on " + root), std::string::npos) << text;
  EXPECT_NE(text.find("host down"), std::string::npos) << text;
}

TEST_F(HostCli, AHostKilledHardIsDetectedAndCleanedUpByTheNextStart) {
  ASSERT_EQ(RunHost("start --root " + root).exitCode, 0);
  pid_t pid = PidOf(root);
  ASSERT_GT(pid, 1);
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  for (int i = 0; i < 200 && kill(pid, 0) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));

  Outcome status = RunHost("status --root " + root);
  EXPECT_EQ(status.exitCode, 3) << status.output;
  EXPECT_NE(status.output.find("died"), std::string::npos) << status.output;

  Outcome restarted = RunHost("start --root " + root);
  ASSERT_EQ(restarted.exitCode, 0) << restarted.output;
  EXPECT_NE(restarted.output.find("cleaned up after a host that died"), std::string::npos) << restarted.output;
  EXPECT_NE(PidOf(root), pid);
  EXPECT_EQ(RunHost("stop --root " + root).exitCode, 0);
}

TEST_F(HostCli, StoppingWithoutAHostAndBadLinesAreClear) {
  Outcome stopped = RunHost("stop --root " + root);
  EXPECT_EQ(stopped.exitCode, 0) << stopped.output;
  EXPECT_NE(stopped.output.find("no host runs"), std::string::npos) << stopped.output;
  Outcome bad = RunHost("start --bogus");
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_NE(bad.output.find("usage:"), std::string::npos) << bad.output;
}

}  // namespace
