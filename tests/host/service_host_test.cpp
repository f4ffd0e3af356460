// The service manager of a running nbhost, driven from a shell with `nbhost sc`: a real
// service program started, paused, stopped, killed, started at the next boot and shut
// down when the host stops.
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

#include "shell_line.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using nb_host_test::Outcome;
Outcome RunShell(const std::string& line) { return nb_host_test::RunLine(line); }

std::string ReadFile(const std::string& path) {
  std::ifstream file(path);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

class HostServices : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "nbhost-sc-XXXXXX").string();
    root_ = mkdtemp(pattern.data());
  }
  void TearDown() override {
    Host("stop");
    fs::remove_all(root_);
  }

  Outcome Host(const std::string& arguments) {
    return RunShell(std::string(NB_HOST_PROGRAM) + " " + arguments + " --root " + root_);
  }
  // `sc query` until the state is `state` (its name as sc prints it), at most 10 s.
  Outcome WaitForState(const std::string& state) {
    Outcome query;
    for (auto deadline = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < deadline;) {
      query = Host("sc query TestSvc");
      if (query.output.find(" " + state + "\n") != std::string::npos) break;
      std::this_thread::sleep_for(50ms);
    }
    return query;
  }
  static pid_t PidIn(const std::string& query) {
    size_t at = query.find("PID                : ");
    return at == std::string::npos ? 0 : std::stoi(query.substr(at + 21));
  }
  std::string ServiceLog() { return ReadFile(root_ + "/log/test_service.log"); }

  std::string root_;
};

TEST_F(HostServices, AServiceProgramRunsUnderTheHostFromStartToShutdown) {
  ASSERT_EQ(Host("start").exitCode, 0);
  Outcome created = Host(std::string("sc create TestSvc binPath= ") + NB_TEST_SERVICE + " start= demand");
  ASSERT_EQ(created.exitCode, 0) << created.output;
  Outcome twice = Host(std::string("sc create TestSvc binPath= ") + NB_TEST_SERVICE);
  EXPECT_EQ(twice.exitCode, 1);
  EXPECT_NE(twice.output.find("FAILED 1073"), std::string::npos) << twice.output;  // ERROR_SERVICE_EXISTS

  Outcome started = Host("sc start TestSvc one");
  ASSERT_EQ(started.exitCode, 0) << started.output;
  Outcome running = WaitForState("RUNNING");
  ASSERT_NE(running.output.find("RUNNING"), std::string::npos) << running.output;
  pid_t pid = PidIn(running.output);
  ASSERT_GT(pid, 1);
  EXPECT_NE(ServiceLog().find("main\nstart TestSvc one\n"), std::string::npos) << ServiceLog();

  Outcome stopped = Host("sc stop TestSvc");
  EXPECT_EQ(stopped.exitCode, 0) << stopped.output;
  EXPECT_NE(WaitForState("STOPPED").output.find("STOPPED"), std::string::npos);
  EXPECT_NE(ServiceLog().find("control 1\n"), std::string::npos) << ServiceLog();
  Outcome again = Host("sc stop TestSvc");
  EXPECT_NE(again.output.find("FAILED 1062"), std::string::npos) << again.output;  // ERROR_SERVICE_NOT_ACTIVE

  // A program that dies is a stopped service.
  ASSERT_EQ(Host("sc start TestSvc").exitCode, 0);
  pid = PidIn(WaitForState("RUNNING").output);
  ASSERT_GT(pid, 1);
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  Outcome killed = WaitForState("STOPPED");
  EXPECT_NE(killed.output.find("STOPPED"), std::string::npos) << killed.output;
  EXPECT_NE(killed.output.find("WIN32_EXIT_CODE    : 1067"), std::string::npos) << killed.output;

  // The program run by hand finds no service controller.
  Outcome byHand = RunShell("NB_ROOT=" + root_ + " " + NB_TEST_SERVICE);
  EXPECT_EQ(byHand.exitCode, 1);
  EXPECT_NE(byHand.output.find("error 1063"), std::string::npos) << byHand.output;

  // Recorded for automatic start, it comes up with the next boot and gets the shutdown.
  ASSERT_EQ(Host("sc delete TestSvc").exitCode, 0);
  ASSERT_EQ(Host(std::string("sc create TestSvc binPath= ") + NB_TEST_SERVICE + " start= auto").exitCode, 0);
  ASSERT_EQ(Host("stop").exitCode, 0);
  ASSERT_EQ(Host("start").exitCode, 0);
  EXPECT_NE(WaitForState("RUNNING").output.find("RUNNING"), std::string::npos);
  fs::remove(root_ + "/log/test_service.log");
  ASSERT_EQ(Host("stop").exitCode, 0);
  EXPECT_EQ(ServiceLog(), "control 5\ndispatcher returned\n");
  std::string hostLog = ReadFile(root_ + "/log/nbhost.log");
  EXPECT_NE(hostLog.find("started the service TestSvc"), std::string::npos) << hostLog;
  EXPECT_NE(hostLog.find("sending shutdown to the service TestSvc"), std::string::npos) << hostLog;
}

TEST_F(HostServices, ScRefusesWhatItCannotDo) {
  EXPECT_EQ(Host("sc query TestSvc").exitCode, 1) << "no host runs";
  ASSERT_EQ(Host("start").exitCode, 0);
  Outcome missing = Host("sc query Nobody");
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.output.find("FAILED 1060"), std::string::npos) << missing.output;
  Outcome noPath = Host("sc create TestSvc type= own");
  EXPECT_EQ(noPath.exitCode, 2);
  EXPECT_NE(noPath.output.find("binPath="), std::string::npos) << noPath.output;
  Outcome badType = Host("sc create TestSvc binPath= /x type= shared");
  EXPECT_EQ(badType.exitCode, 2);
  ASSERT_EQ(Host("sc create Gone binPath= /nonexistent/program").exitCode, 0);
  Outcome gone = Host("sc start Gone");
  EXPECT_EQ(gone.exitCode, 1);
  EXPECT_NE(gone.output.find("FAILED 2"), std::string::npos) << gone.output;  // ERROR_FILE_NOT_FOUND
}

}  // namespace
