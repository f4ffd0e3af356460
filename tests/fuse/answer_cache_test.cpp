// What the host's kernel may keep: names and attributes every caller is told alike are
// kept (fewer requests), and a lock change takes them back before the lock call returns,
// for path walks from the root and from a working folder inside the volume alike.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "mount_fixture.h"
#include "nb/testing/carrier.h"
#include "nb/win/drives.h"
#include "nbclient.h"
#include "nbfsctl.h"

namespace nb::fuse::testing {
namespace {

// A child process that lives in a folder of the mount and stats paths relative to it on
// demand. Between fork and exit it makes only async-signal-safe calls.
class Dweller {
 public:
  explicit Dweller(const std::string& folder) {
    if (pipe(commands_) != 0 || pipe(answers_) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(commands_[1]);
      close(answers_[0]);
      int error = chdir(folder.c_str()) == 0 ? 0 : errno;
      (void)!write(answers_[1], &error, sizeof error);
      char path[256];
      while (read(commands_[0], path, sizeof path) == static_cast<ssize_t>(sizeof path)) {
        struct stat st;
        int result = lstat(path, &st) == 0 ? 0 : errno;
        (void)!write(answers_[1], &result, sizeof result);
      }
      _exit(0);
    }
    close(commands_[0]);
    close(answers_[1]);
    int error = -1;
    if (read(answers_[0], &error, sizeof error) == sizeof error) ready_ = error == 0;
  }
  ~Dweller() {
    close(commands_[1]);
    close(answers_[0]);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  bool Ready() const { return ready_; }
  // "ok" or the errno's name of lstat(path) in the child's working folder.
  std::string Stat(const std::string& path) {
    char command[256]{};
    std::strncpy(command, path.c_str(), sizeof command - 1);
    int result = -1;
    if (write(commands_[1], command, sizeof command) != sizeof command) return "no child";
    if (read(answers_[0], &result, sizeof result) != sizeof result) return "no answer";
    return result == 0 ? "ok" : strerrorname_np(result);
  }

 private:
  int commands_[2]{-1, -1};
  int answers_[2]{-1, -1};
  pid_t pid_ = -1;
  bool ready_ = false;
};

class AnswerCacheTest : public MountTest {
 protected:
  void SetUp() override {
    MountTest::SetUp();
    if (IsSkipped()) return;
    WriteHost("P/H/f", "hidden");
    WriteHost("P/x", "x");
    // Kept for a minute: whatever a notice fails to take back stays visibly wrong.
    mount_.Unmount();
    MountParameters parameters;
    parameters.volume = u"\\DosDevices\\X:";
    parameters.mountPoint = mountPoint_;
    parameters.cacheSeconds = 60;
    parameters.beforeEntryReply = [this](const std::u16string& path) {
      std::function<void(const std::u16string&)> hook;
      {
        std::lock_guard lock(hookMutex_);  // set by the test's thread, run by the server's
        hook = beforeEntryReply_;
      }
      if (hook) hook(path);
    };
    ASSERT_EQ(mount_.Mount(parameters), STATUS_SUCCESS);
  }
  // lstat on the mount by this (untrusted) process: "ok" or the errno's name.
  std::string Stat(const std::string& relative) {
    struct stat st {};
    return lstat(Mounted(relative).c_str(), &st) == 0 ? "ok" : strerrorname_np(errno);
  }
  // Requests the front end served for `action`.
  template <typename Action>
  uint64_t RequestsOf(Action action) {
    uint64_t before = mount_.Requests();
    action();
    return mount_.Requests() - before;
  }
  // The client library's calls, as the service makes them.
  template <typename Call>
  int Client(Call call) {
    nb::testing::CarriedTransport transport(machine_.Kernel(), nb::testing::Carrier::kInProcess);
    nb::win::ScopedDrive drive(u'X', mountPoint_);
    return call();
  }
  int LockHidden(const char16_t* path) { return Client([&] { return LockFolder(u'X', path, NBFS_LOCK_NOACCESS, 0); }); }
  int UnlockPath(const char16_t* path) { return Client([&] { return UnlockFolder(u'X', path); }); }

  void SetHook(std::function<void(const std::u16string&)> hook) {
    std::lock_guard lock(hookMutex_);
    beforeEntryReply_ = std::move(hook);
  }

 private:
  std::mutex hookMutex_;
  std::function<void(const std::u16string&)> beforeEntryReply_;
};

TEST_F(AnswerCacheTest, UngovernedNamesAreKeptUntilALockBelowThemComes) {
  ASSERT_EQ(Stat("P/H/f"), "ok");
  EXPECT_EQ(RequestsOf([&] { EXPECT_EQ(Stat("P/H/f"), "ok"); }), 0u) << "a kept walk asks nothing";
  Dweller inP(Mounted("P"));
  ASSERT_TRUE(inP.Ready());
  EXPECT_EQ(inP.Stat("H/f"), "ok");

  ASSERT_EQ(LockHidden(u"\\P\\H"), 0);
  // The very next walks, from the root and from inside P, meet the lock.
  EXPECT_EQ(Stat("P/H"), "ENOENT");
  EXPECT_EQ(Stat("P/H/f"), "ENOENT");
  EXPECT_EQ(inP.Stat("H"), "ENOENT");
  EXPECT_EQ(inP.Stat("H/f"), "ENOENT");
  EXPECT_EQ(Probe("list", "P"), "ok:x");
  // P itself is still told alike to everyone, and kept again.
  EXPECT_EQ(Stat("P/x"), "ok");
  EXPECT_EQ(RequestsOf([&] { EXPECT_EQ(Stat("P/x"), "ok"); }), 0u);
  // A governed name is asked every time, in the walker's identity.
  EXPECT_GT(RequestsOf([&] { EXPECT_EQ(Stat("P/H"), "ENOENT"); }), 0u);

  // Unlocked, the folder is there at once (nothing was kept of its absence).
  ASSERT_EQ(UnlockPath(u"\\P\\H"), 0);
  EXPECT_EQ(Stat("P/H/f"), "ok");
  EXPECT_EQ(inP.Stat("H/f"), "ok");
}

TEST_F(AnswerCacheTest, ALockOnAKeptFolderItselfReachesItsDwellers) {
  Dweller inP(Mounted("P"));
  ASSERT_TRUE(inP.Ready());
  ASSERT_EQ(inP.Stat("x"), "ok");
  ASSERT_EQ(inP.Stat("."), "ok");
  ASSERT_EQ(Stat("P/x"), "ok");
  ASSERT_EQ(LockHidden(u"\\P"), 0);
  EXPECT_EQ(Stat("P"), "ENOENT");
  EXPECT_EQ(Stat("P/x"), "ENOENT");
  // Its attributes and the names below it are asked again for the process inside it.
  EXPECT_NE(inP.Stat("."), "ok");
  EXPECT_NE(inP.Stat("x"), "ok");
  ASSERT_EQ(UnlockPath(u"\\P"), 0);
  EXPECT_EQ(inP.Stat("x"), "ok");
}

TEST_F(AnswerCacheTest, ADriveWideLockTakesBackEverything) {
  ASSERT_EQ(Stat("P/x"), "ok");
  ASSERT_EQ(Stat(""), "ok");
  Dweller inP(Mounted("P"));
  ASSERT_TRUE(inP.Ready());
  ASSERT_EQ(inP.Stat("x"), "ok");
  NBFS_ENTRY drive = nbfs_test::Entry('X');
  ASSERT_EQ(Control(DEL_SERVICE, &drive, sizeof drive), STATUS_SUCCESS);  // registered without a lock
  ASSERT_EQ(Client([] { return LockDrive(u'X', NBFS_LOCK_NOACCESS, 0); }), 0);
  EXPECT_NE(Stat("P/x"), "ok");
  EXPECT_NE(inP.Stat("x"), "ok");
  EXPECT_NE(inP.Stat("."), "ok");
  // Nothing of the locked drive is kept: every walk asks.
  EXPECT_GT(RequestsOf([&] { (void)Stat("P/x"); }), 0u);
  ASSERT_EQ(Client([] { return UnlockDrive(u'X'); }), 0);
  EXPECT_EQ(Stat("P/x"), "ok");
}

// A lookup judged before a lock came, whose reply is sent after the lock's notice has run,
// must not be kept: the notice could not take back what was not yet given.
TEST_F(AnswerCacheTest, AnAnswerJudgedBeforeALockAndSentAfterItsNoticeIsNotKept) {
  std::mutex mutex;
  std::condition_variable changed;
  bool judged = false, locked = false;
  SetHook([&](const std::u16string& path) {
    if (path != u"\\P\\H") return;
    std::unique_lock lock(mutex);
    judged = true;
    changed.notify_all();
    // The whole lock call, notice included, ends while this answer waits. (The notice
    // does not wait for this lookup: nothing below P was kept yet.)
    EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(20), [&] { return locked; }));
  });
  std::string early;
  std::thread walker([&] { early = Stat("P/H"); });  // keeps P on its way
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return judged; });
  }
  // Straight to the driver: the client library's own open of the folder would wait for
  // the walker's lookup of the same name.
  EXPECT_EQ(Lock(u"\\P\\H", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  {
    std::lock_guard lock(mutex);
    locked = true;
  }
  changed.notify_all();
  walker.join();
  SetHook(nullptr);
  // The walker's own stat may meet the lock already: its attributes were not kept either.
  EXPECT_TRUE(early == "ok" || early == "ENOENT") << early;
  EXPECT_EQ(Stat("P/H"), "ENOENT") << "the early answer was kept past the lock";
  EXPECT_EQ(Stat("P/H/f"), "ENOENT");
}

TEST_F(AnswerCacheTest, ATrustedProcessesAnswerIsNeverKeptForOthers) {
  ASSERT_EQ(LockHidden(u"\\P\\H"), 0);
  EXPECT_EQ(TrustedProbe(u"\\P\\H", NBFS_PERMISSION_READ, "read", "P/H/f"), "ok:hidden");
  EXPECT_EQ(Stat("P/H"), "ENOENT");
  EXPECT_EQ(Stat("P/H/f"), "ENOENT");
}

}  // namespace
}  // namespace nb::fuse::testing
