// Trusted processes taken off the driver's lists and terminated: real child processes,
// ids that cannot be opened, the default folder's list apart from the global one, and the
// calling process handled last.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "NBUtil.h"
#include "nb/kernel/process.h"
#include "nbclient.h"
#include "nbfsctl.h"
#include "request_recorder.h"
#include "util_machine.h"

extern char** environ;

namespace util_test {
namespace {

constexpr const char16_t* kFolderPath = u"\\Windows\\Application Data\\NB";

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
  ULONG pid() const { return static_cast<ULONG>(pid_); }
  int Wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    reaped_ = true;
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  }
  bool Running() const {
    int status = 0;
    return ::waitpid(pid_, &status, WNOHANG) == 0;
  }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
};

class ProcessesTest : public UtilTest {
 protected:
  static ULONG GlobalCount() {
    ULONG count = 99;
    EXPECT_EQ(NB_GetGlobalProcCount(&count), 0);
    return count;
  }
  static ULONG FolderCount() {
    ULONG count = 99;
    EXPECT_EQ(NB_GetProcCount(u'C', kFolderPath, &count), 0);
    return count;
  }
};

TEST_F(ProcessesTest, GlobalTrustedProcessesAreRemovedAndTerminated) {
  Sleeper a, b;
  ASSERT_GT(a.pid(), 0u);
  ASSERT_GT(b.pid(), 0u);
  ASSERT_EQ(Quietly([&] { return NB_RegisterGlobalProcess("sleep.exe", a.pid(), 2); }), 0);
  ASSERT_EQ(Quietly([&] { return NB_RegisterGlobalProcess("sleep.exe", b.pid(), 1); }), 0);
  // Entries whose process cannot be opened go from the list all the same.
  ASSERT_EQ(Quietly([] { return NB_RegisterGlobalProcess("System", 4, 2); }), 0);
  ASSERT_EQ(Quietly([] { return NB_RegisterGlobalProcess("gone.exe", 0x7FFFFFF0, 2); }), 0);
  ASSERT_EQ(GlobalCount(), 4u);

  Quietly([] {
    TerminateProc();
    return 0;
  });
  EXPECT_EQ(a.Wait(), SIGKILL);
  EXPECT_EQ(b.Wait(), SIGKILL);
  EXPECT_EQ(GlobalCount(), 0u);
}

TEST_F(ProcessesTest, TheDefaultFoldersListIsApartFromTheGlobalOne) {
  ASSERT_EQ(Quietly([] { return LockDefaultFolder(); }), 1);
  Sleeper onFolder, global;
  ASSERT_EQ(Quietly([&] { return NB_RegisterProcess(u'C', kFolderPath, "sleep.exe", onFolder.pid(), 2); }), 0);
  ASSERT_EQ(Quietly([&] { return NB_RegisterGlobalProcess("sleep.exe", global.pid(), 2); }), 0);

  Quietly([] {
    TerminateProcEx();
    return 0;
  });
  EXPECT_EQ(onFolder.Wait(), SIGKILL);
  EXPECT_EQ(FolderCount(), 0u);
  EXPECT_TRUE(global.Running());
  EXPECT_EQ(GlobalCount(), 1u);
}

TEST_F(ProcessesTest, EmptyListsSendNoRemoval) {
  client_test::RequestRecorder recorder;
  ASSERT_EQ(recorder.AttachAbove(machine, NBFS_DEVICE_NAME), STATUS_SUCCESS);
  Quietly([] {
    TerminateProc();
    TerminateProcEx();
    return 0;
  });
  EXPECT_FALSE(recorder.Saw(DEL_GLOBAL_PROC));
  EXPECT_FALSE(recorder.Saw(DEL_PROC));
}

// The caller on the list is ended last, so that ending itself leaves no other behind.
TEST_F(ProcessesTest, TheCallingProcessComesLast) {
  Sleeper caller, other;
  ASSERT_EQ(Quietly([&] { return NB_RegisterGlobalProcess("caller.exe", caller.pid(), 2); }), 0);
  ASSERT_EQ(Quietly([&] { return NB_RegisterGlobalProcess("other.exe", other.pid(), 2); }), 0);
  client_test::RequestRecorder recorder;
  ASSERT_EQ(recorder.AttachAbove(machine, NBFS_DEVICE_NAME), STATUS_SUCCESS);
  {
    nb::kernel::ProcessScope as(machine.Process("caller.exe", caller.pid()));
    Quietly([] {
      TerminateProc();
      return 0;
    });
  }
  std::vector<ULONG> removed;
  for (const auto& request : recorder.Requests()) {
    if (request.code != DEL_GLOBAL_PROC) continue;
    NBFS_PROC record;
    ASSERT_GE(request.input.size(), sizeof record);
    std::memcpy(&record, request.input.data(), sizeof record);
    removed.push_back(record.pid);
  }
  EXPECT_EQ(removed, (std::vector<ULONG>{other.pid(), caller.pid()}));
  EXPECT_EQ(caller.Wait(), SIGKILL);
  EXPECT_EQ(other.Wait(), SIGKILL);
}

}  // namespace
}  // namespace util_test
