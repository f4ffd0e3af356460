// A host serving real processes over its socket: settings that outlive the host (also a
// host killed in the middle of a stream of writes), and an event that one process sets
// to release another's wait.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

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

// ---- A host killed while a client writes ----

constexpr int kTornValues = 6;
constexpr size_t kTornDataBytes = 16 * 1024;

// Value `index` of generation `generation`: the generation, then bytes that both decide.
std::vector<BYTE> TornData(uint32_t generation, int index) {
  std::vector<BYTE> data(4 + kTornDataBytes, static_cast<BYTE>(generation * 31 + static_cast<uint32_t>(index)));
  std::memcpy(data.data(), &generation, 4);
  return data;
}

std::u16string TornName(int index) { return u"Value" + std::u16string(1, static_cast<char16_t>(u'0' + index)); }

struct Acknowledged {
  int32_t index;
  uint32_t generation;
};

TEST_F(HostMachineTest, AHostKilledAmidWritesLeavesEachValueBeforeOrAfterNeverTorn) {
  int acks[2];
  ASSERT_EQ(pipe(acks), 0);
  pid_t writer = StartClient(root, [&] {
    close(acks[0]);
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\NimbraTorn", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
      return 1;
    for (uint32_t generation = 1;; ++generation) {
      for (int index = 0; index < kTornValues; ++index) {
        std::vector<BYTE> data = TornData(generation, index);
        if (RegSetValueExW(key, TornName(index).c_str(), 0, REG_BINARY, data.data(),
                           static_cast<DWORD>(data.size())) != ERROR_SUCCESS)
          return 0;  // the host has gone
        Acknowledged ack{index, generation};
        if (write(acks[1], &ack, sizeof ack) != sizeof ack) return 2;
      }
    }
  });
  close(acks[1]);

  // Let a few generations land, then kill the host in the middle of the stream.
  std::map<int, uint32_t> last;
  Acknowledged ack;
  while (read(acks[0], &ack, sizeof ack) == sizeof ack) {
    last[ack.index] = ack.generation;
    if (ack.generation == 20 && ack.index == kTornValues / 2) break;
  }
  pid_t host = 0;
  std::ifstream(root + "/run/nbhost.pid") >> host;
  ASSERT_GT(host, 0);
  ASSERT_EQ(kill(host, SIGKILL), 0);
  while (read(acks[0], &ack, sizeof ack) == sizeof ack) last[ack.index] = ack.generation;
  close(acks[0]);
  EXPECT_EQ(ExitCodeOf(writer), 0);
  // The pid file stays a moment after the host went; the next start cleans up after it.
  for (int tries = 0; tries < 100 && kill(host, 0) == 0; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }

  ASSERT_EQ(Host("start --root " + root), 0);
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  pid_t reader = StartClient(root, [&] {
    close(pipeEnds[0]);
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\NimbraTorn", 0, KEY_READ, &key) != ERROR_SUCCESS) return 1;
    for (int index = 0; index < kTornValues; ++index) {
      std::vector<BYTE> data(2 * (4 + kTornDataBytes));
      DWORD size = static_cast<DWORD>(data.size());
      DWORD type = 0;
      uint32_t generation = 0;
      if (RegQueryValueExW(key, TornName(index).c_str(), nullptr, &type, data.data(), &size) == ERROR_SUCCESS &&
          type == REG_BINARY && size >= 4) {
        std::memcpy(&generation, data.data(), 4);
        data.resize(size);
        if (data != TornData(generation, index)) generation = 0xFFFFFFFF;  // torn
      }
      if (write(pipeEnds[1], &generation, sizeof generation) != sizeof generation) return 2;
    }
    return 0;
  });
  close(pipeEnds[1]);
  for (int index = 0; index < kTornValues; ++index) {
    uint32_t generation = 0;
    ASSERT_EQ(read(pipeEnds[0], &generation, sizeof generation), static_cast<ssize_t>(sizeof generation));
    ASSERT_NE(generation, 0xFFFFFFFFu) << "value " << index << " is torn";
    // What was acknowledged is there, or the write under way when the host died.
    EXPECT_TRUE(generation == last[index] || generation == last[index] + 1)
        << "value " << index << ": generation " << generation << ", acknowledged " << last[index];
  }
  close(pipeEnds[0]);
  EXPECT_EQ(ExitCodeOf(reader), 0);
}

}  // namespace
