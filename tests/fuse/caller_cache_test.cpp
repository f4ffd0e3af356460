// Remembered caller identities: given again only to the same living thread of the same
// executable, and read afresh after the thread ends or its process execs.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "caller.h"

namespace nb::fuse {
namespace {

// The system's reader, counting its calls.
struct CountingReader {
  std::atomic<int> calls{0};
  server::IdentityReader Reader() {
    return [this](pid_t pid, server::ProcessIdentity* identity) {
      ++calls;
      return server::ReadProcessIdentity(pid, identity);
    };
  }
};

// A thread that runs until told to end, and tells its id.
class IdleThread {
 public:
  IdleThread() {
    thread_ = std::thread([this] {
      id_ = gettid();
      while (!stop_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    while (id_ == 0) std::this_thread::yield();
  }
  ~IdleThread() { End(); }
  pid_t Id() const { return id_; }
  void End() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::atomic<pid_t> id_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A child of this same program that waits to be killed.
pid_t WaitingChild() {
  pid_t child = fork();
  if (child == 0) {
    pause();
    _exit(0);
  }
  return child;
}

void EndChild(pid_t child) {
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

// Makes the next process id handed out `pid` (root only); false when that fails.
bool NextPidIs(pid_t pid) {
  FILE* last = std::fopen("/proc/sys/kernel/ns_last_pid", "w");
  if (!last) return false;
  const bool written = std::fprintf(last, "%d", pid - 1) > 0;
  return std::fclose(last) == 0 && written;
}

TEST(CallerCacheTest, AThreadIsReadOnceWhileItRunsAndItsThreadGroupIsTheProcess) {
  CallerCache cache;
  CountingReader reader;
  IdleThread other;
  server::ProcessIdentity first, again, ofOther;
  ASSERT_EQ(cache.Identify(gettid(), reader.Reader(), &first), STATUS_SUCCESS);
  ASSERT_EQ(cache.Identify(gettid(), reader.Reader(), &again), STATUS_SUCCESS);
  ASSERT_EQ(cache.Identify(other.Id(), reader.Reader(), &ofOther), STATUS_SUCCESS);
  EXPECT_EQ(reader.calls, 2);  // once per thread
  EXPECT_EQ(first.processId, static_cast<ULONG>(getpid()));
  EXPECT_EQ(again.processId, first.processId);
  EXPECT_EQ(again.imageName, first.imageName);
  EXPECT_EQ(again.startTime, first.startTime);
  EXPECT_EQ(ofOther.processId, first.processId);  // a thread's requests are its process's
}

TEST(CallerCacheTest, AThreadThatEndedIsNeverAnsweredFromMemory) {
  CallerCache cache;
  CountingReader reader;
  IdleThread thread;
  const pid_t id = thread.Id();
  server::ProcessIdentity identity;
  ASSERT_EQ(cache.Identify(id, reader.Reader(), &identity), STATUS_SUCCESS);
  thread.End();
  // The id may now name someone else; it is not ours to answer for.
  EXPECT_EQ(cache.Identify(id, reader.Reader(), &identity), STATUS_INVALID_CID);
  EXPECT_EQ(cache.Size(), 0u);
}

TEST(CallerCacheTest, AProcessThatEndedIsNeverAnsweredFromMemory) {
  CallerCache cache;
  CountingReader reader;
  pid_t child = WaitingChild();
  ASSERT_GT(child, 0);
  server::ProcessIdentity identity;
  ASSERT_EQ(cache.Identify(child, reader.Reader(), &identity), STATUS_SUCCESS);
  EXPECT_EQ(identity.processId, static_cast<ULONG>(child));
  EndChild(child);
  EXPECT_EQ(cache.Identify(child, reader.Reader(), &identity), STATUS_INVALID_CID);
}

TEST(CallerCacheTest, AReusedProcessIdOfTheSameProgramIsReadAgain) {
  // Same executable, same id: only the ended thread's descriptor tells them apart.
  CallerCache cache;
  CountingReader reader;
  pid_t first = WaitingChild();
  ASSERT_GT(first, 0);
  server::ProcessIdentity identity;
  ASSERT_EQ(cache.Identify(first, reader.Reader(), &identity), STATUS_SUCCESS);
  EndChild(first);
  pid_t second = -1;
  for (int tries = 0; tries < 20 && second != first; ++tries) {
    if (second > 0) EndChild(second);
    if (!NextPidIs(first)) GTEST_SKIP() << "process ids cannot be chosen here (needs root)";
    second = WaitingChild();
    ASSERT_GT(second, 0);
  }
  if (second != first) {
    EndChild(second);
    GTEST_SKIP() << "another process kept taking the id";
  }
  NTSTATUS status = cache.Identify(second, reader.Reader(), &identity);
  EndChild(second);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(reader.calls, 2);
}

TEST(CallerCacheTest, AnExecGivesTheProcessItsNewImageName) {
  CallerCache cache;
  CountingReader reader;
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char byte;
    close(go[1]);
    if (read(go[0], &byte, 1) == 1) execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
    _exit(1);
  }
  close(go[0]);
  server::ProcessIdentity before, after;
  ASSERT_EQ(cache.Identify(child, reader.Reader(), &before), STATUS_SUCCESS);
  ASSERT_EQ(cache.Identify(child, reader.Reader(), &after), STATUS_SUCCESS);
  EXPECT_EQ(reader.calls, 1);
  ASSERT_EQ(write(go[1], "x", 1), 1);
  close(go[1]);
  auto execed = [child] {
    std::string executable;
    return ExecutableOf(child, &executable) && executable.ends_with("/sleep");
  };
  for (int tries = 0; tries < 2000 && !execed(); ++tries) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(execed());
  ASSERT_EQ(cache.Identify(child, reader.Reader(), &after), STATUS_SUCCESS);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(reader.calls, 2);
  EXPECT_EQ(after.imageName, "sleep.exe");
  EXPECT_NE(before.imageName, after.imageName);
  EXPECT_EQ(after.processId, before.processId);
}

TEST(CallerCacheTest, EndedThreadsDoNotAccumulate) {
  CallerCache cache;
  CountingReader reader;
  for (size_t i = 0; i < CallerCache::kMaximumEntries + 20; ++i) {
    IdleThread thread;
    server::ProcessIdentity identity;
    ASSERT_EQ(cache.Identify(thread.Id(), reader.Reader(), &identity), STATUS_SUCCESS);
  }
  EXPECT_LE(cache.Size(), CallerCache::kMaximumEntries);
}

TEST(CallerCacheTest, ThreadsIdentifyingThemselvesAndEachOtherAtOnceAgree) {
  CallerCache cache;
  CountingReader reader;
  std::vector<IdleThread> idle(4);
  std::vector<std::thread> askers;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    askers.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        server::ProcessIdentity identity;
        pid_t asked = i % 2 ? gettid() : idle[static_cast<size_t>((t + i) % 4)].Id();
        if (cache.Identify(asked, reader.Reader(), &identity) != STATUS_SUCCESS ||
            identity.processId != static_cast<ULONG>(getpid())) {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& asker : askers) asker.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_LE(reader.calls, 8 * 4);  // each thread read about once, not per request
}

}  // namespace
}  // namespace nb::fuse
