// Process calls of libnbwin: the caller's id on each transport, opening real processes
// through pidfds (System, ids that name nothing, other users' processes) and terminating
// them.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include <psapi.h>
#include <windows.h>

#include "nb/kernel/process.h"
#include "nb/testing/machine.h"
#include "nb/win/in_process.h"

extern char** environ;

namespace {

// A child that sleeps until it is killed, reaped at the end of the test.
class Sleeper {
 public:
  Sleeper() {
    char sleep[] = "sleep";
    char seconds[] = "60";
    char* argv[] = {sleep, seconds, nullptr};
    if (posix_spawnp(&pid_, "sleep", nullptr, nullptr, argv, environ) != 0) pid_ = -1;
  }
  ~Sleeper() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
  }
  pid_t pid() const { return pid_; }
  // The signal that ended it (0 when it exited).
  int Wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    reaped_ = true;
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
};

TEST(ProcessCalls, TheCurrentProcessIdIsTheProgramsOrTheSimulatedOnes) {
  nb::win::SetTransport(nullptr);
  EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
  nb::testing::Machine machine;
  nb::win::InProcessTransport transport;
  nb::win::ScopedTransport installed(transport);
  EXPECT_EQ(GetCurrentProcessId(), 4u) << "a thread acts as System unless told otherwise";
  nb::kernel::ProcessScope scope(machine.Process("NBSvc.exe", 1234));
  EXPECT_EQ(GetCurrentProcessId(), 1234u);
}

TEST(ProcessCalls, OpenAndTerminateAChild) {
  Sleeper child;
  ASSERT_GT(child.pid(), 0);
  HANDLE query = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, child.pid());
  ASSERT_NE(query, nullptr);
  EXPECT_FALSE(TerminateProcess(query, 0)) << "opened without PROCESS_TERMINATE";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, child.pid());
  ASSERT_NE(process, nullptr);
  EXPECT_TRUE(TerminateProcess(process, 0));
  EXPECT_EQ(child.Wait(), SIGKILL);
  // The handle names the ended process, never a later one with its id.
  EXPECT_FALSE(TerminateProcess(process, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(CloseHandle(process));
  EXPECT_TRUE(CloseHandle(query));
}

// A handle of OpenProcess serves the information calls too: the enumeration opens with
// query and read rights and asks for the executable's name.
TEST(ProcessCalls, AnOpenedProcessAnswersTheInformationCalls) {
  Sleeper child;
  ASSERT_GT(child.pid(), 0);
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, child.pid());
  ASSERT_NE(process, nullptr) << GetLastError();
  std::u16string name;
  // The child is named by its executable once it has run exec (while it execs, its
  // modules may not be readable for a moment).
  for (int i = 0; i < 500; ++i) {
    WCHAR buffer[MAX_PATH] = {};
    DWORD length = GetModuleFileNameExW(process, nullptr, buffer, MAX_PATH);
    name.assign(buffer, length);
    if (name.ends_with(u"sleep")) break;
    usleep(10000);
  }
  EXPECT_TRUE(name.ends_with(u"sleep")) << std::string(name.begin(), name.end());
  HMODULE first = nullptr;
  DWORD needed = 0;
  EXPECT_TRUE(EnumProcessModules(process, &first, sizeof first, &needed));
  EXPECT_TRUE(CloseHandle(process));
}

TEST(ProcessCalls, IdsThatCannotBeOpened) {
  struct Case {
    DWORD id;
    DWORD error;
  };
  const Case cases[] = {
      {0, ERROR_INVALID_PARAMETER},
      {4, ERROR_ACCESS_DENIED},           // System
      {0x7FFFFFF0, ERROR_INVALID_PARAMETER},  // above any Linux id
      {0xFFFFFFFF, ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_EQ(OpenProcess(PROCESS_ALL_ACCESS, FALSE, c.id), nullptr) << c.id;
    EXPECT_EQ(GetLastError(), c.error) << c.id;
  }
  EXPECT_FALSE(TerminateProcess(nullptr, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// A process of another user may be asked about, not ended (tests run as root: the child
// drops to nobody and tries to end this process).
TEST(ProcessCalls, AnotherUsersProcessIsNotOurs) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  pid_t self = getpid();
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setuid(65534) != 0) _exit(10);
    HANDLE terminate = OpenProcess(PROCESS_TERMINATE, FALSE, self);
    if (terminate || GetLastError() != ERROR_ACCESS_DENIED) _exit(11);
    HANDLE query = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, self);
    _exit(query ? 0 : 12);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
