// A host serving real processes over its socket: settings that outlive the host, and an
// event that one process sets to release another's wait.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include <windows.h>

#include "nb/win/socket_channel.h"

namespace {

namespace fs = std::filesystem;

int Host(const std::string& arguments) {
  std::string line = std::string(NB_HOST_PROGRAM) + " " + arguments + " > /dev/null 2>&1";
  int status = std::system(line.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs `body` in a child process that reaches the host of `root`; its result is the
// child's exit code.
pid_t StartClient(const std::string& root, const std::function<int()>& body) {
  std::fflush(nullptr);
  pid_t child = fork();
  if (child == 0) {
    nb::win::UseMachineAt(root);
    _exit(body());
  }
  return child;
}

int ExitCodeOf(pid_t child) {
  int status = 0;
  if (waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunClient(const std::string& root, const std::function<int()>& body) {
  return ExitCodeOf(StartClient(root, body));
}

class HostMachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "nbhost-machine-XXXXXX").string();
    root = mkdtemp(pattern.data());
    ASSERT_EQ(Host("start --root " + root), 0);
  }
  void TearDown() override {
    Host("stop --root " + root);
    fs::remove_all(root);
  }
  std::string root;
};

TEST_F(HostMachineTest, SettingsWrittenByOneProcessOutliveTheHost) {
  EXPECT_EQ(RunClient(root, [] {
              HKEY key;
              if (RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\NimbraTest", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr) != ERROR_SUCCESS)
                return 1;
              DWORD value = 42;
              LONG set = RegSetValueExW(key, u"Answer", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                        sizeof value);
              RegCloseKey(key);
              return set == ERROR_SUCCESS ? 0 : 2;
            }),
            0);
  ASSERT_EQ(Host("stop --root " + root), 0);
  ASSERT_EQ(Host("start --root " + root), 0);
  EXPECT_EQ(RunClient(root, [] {
              DWORD value = 0, size = sizeof value, type = 0;
              HKEY key;
              if (RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\NimbraTest", 0, KEY_READ, &key) != ERROR_SUCCESS)
                return 1;
              LONG read = RegQueryValueExW(key, u"Answer", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
              RegCloseKey(key);
              return read == ERROR_SUCCESS && type == REG_DWORD && value == 42 ? 0 : 2;
            }),
            0);
}

TEST_F(HostMachineTest, AnEventSetInOneProcessReleasesAWaitInAnother) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t waiter = StartClient(root, [&] {
    close(ready[0]);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, u"Global\\NimbraHostTest");
    if (!event) return 1;
    (void)!write(ready[1], "w", 1);
    return WaitForSingleObject(event, 10000) == WAIT_OBJECT_0 ? 0 : 2;
  });
  close(ready[1]);
  char mark = 0;
  ASSERT_EQ(read(ready[0], &mark, 1), 1);
  close(ready[0]);
  EXPECT_EQ(RunClient(root, [] {
              HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, u"Global\\NimbraHostTest");
              return event && SetEvent(event) ? 0 : 1;
            }),
            0);
  EXPECT_EQ(ExitCodeOf(waiter), 0);
}

}  // namespace
