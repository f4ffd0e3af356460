// FUSE callers as kernel processes.
#include "caller.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <string>
#include <utility>

#include "nb/kernel/process.h"

namespace nb::fuse {

bool ThreadGroupIn(std::string_view statusText, pid_t* threadGroup) {
  constexpr std::string_view kField = "\nTgid:";
  size_t at = statusText.find(kField);
  if (at == std::string_view::npos) return false;
  at = statusText.find_first_not_of(" \t", at + kField.size());
  if (at == std::string_view::npos) return false;
  const char* end = statusText.data() + statusText.size();
  auto [stop, error] = std::from_chars(statusText.data() + at, end, *threadGroup);
  return error == std::errc() && *threadGroup > 0 && (stop == end || *stop == '\n');
}

bool ThreadGroupOf(pid_t thread, pid_t* threadGroup) {
  // /proc/TID names any thread, not only group leaders.
  std::string path = "/proc/" + std::to_string(thread) + "/status";
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[512];  // Tgid comes in the first few lines
  ssize_t got;
  do {
    got = read(fd, buffer, sizeof buffer);
  } while (got < 0 && errno == EINTR);
  close(fd);
  if (got <= 0) return false;
  return ThreadGroupIn(std::string_view(buffer, static_cast<size_t>(got)), threadGroup);
}

bool ExecutableOf(pid_t thread, std::string* path) {
  char procPath[32];
  std::snprintf(procPath, sizeof procPath, "/proc/%d/exe", static_cast<int>(thread));
  char target[PATH_MAX];
  ssize_t length = readlink(procPath, target, sizeof target);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof target) return false;
  path->assign(target, static_cast<size_t>(length));
  return true;
}

namespace {

// A descriptor of one thread rather than of its thread group (Linux 6.9 on); older
// kernels refuse it, and then nothing is remembered.
constexpr unsigned kPidfdThread = O_EXCL;

// Whether the thread of a pidfd has not ended yet.
bool Running(int pidfd) {
  pollfd watch{pidfd, POLLIN, 0};
  int ready;
  do {
    ready = poll(&watch, 1, 0);
  } while (ready < 0 && errno == EINTR);
  return ready == 0;
}

// The identity of the thread group of `thread`, read afresh.
NTSTATUS ReadIdentityOf(pid_t thread, const server::IdentityReader& read, server::ProcessIdentity* identity) {
  pid_t group = 0;
  if (!ThreadGroupOf(thread, &group)) return STATUS_INVALID_CID;
  return read(group, identity);
}

}  // namespace

struct CallerCache::Entry {
  Entry(int descriptor, std::string path, server::ProcessIdentity who)
      : pidfd(descriptor), executable(std::move(path)), identity(std::move(who)) {}
  ~Entry() { close(pidfd); }
  Entry(const Entry&) = delete;
  Entry& operator=(const Entry&) = delete;

  int pidfd;               // the thread, to tell when it ends
  std::string executable;  // its process's executable when the identity was read
  server::ProcessIdentity identity;
};

CallerCache::~CallerCache() = default;

size_t CallerCache::Size() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

NTSTATUS CallerCache::Identify(pid_t thread, const server::IdentityReader& read, server::ProcessIdentity* identity) {
  std::shared_ptr<const Entry> entry;
  {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(thread);
    if (it != entries_.end()) entry = it->second;
  }
  if (entry) {
    std::string executable;
    if (Running(entry->pidfd) && ExecutableOf(thread, &executable) && executable == entry->executable) {
      *identity = entry->identity;
      return STATUS_SUCCESS;
    }
    Forget(thread, entry);
  }
  return Read(thread, read, identity);
}

NTSTATUS CallerCache::Read(pid_t thread, const server::IdentityReader& read, server::ProcessIdentity* identity) {
  // The thread is held first: while it runs, its id names no one else, so what /proc says
  // of it afterwards is of this thread. The executable is taken before the identity, so an
  // exec in between leaves a mismatch that the next request reads again.
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, thread, kPidfdThread));
  std::string executable;
  const bool watched = pidfd >= 0 && ExecutableOf(thread, &executable);
  NTSTATUS status = ReadIdentityOf(thread, read, identity);
  if (NT_SUCCESS(status) && watched && Running(pidfd)) {
    Remember(thread, std::make_shared<const Entry>(pidfd, std::move(executable), *identity));
  } else if (pidfd >= 0) {
    close(pidfd);
  }
  return status;
}

void CallerCache::Remember(pid_t thread, std::shared_ptr<const Entry> entry) {
  std::lock_guard lock(mutex_);
  if (entries_.size() >= kMaximumEntries) {
    std::erase_if(entries_, [](const auto& item) { return !Running(item.second->pidfd); });
    if (entries_.size() >= kMaximumEntries) entries_.clear();
  }
  entries_[thread] = std::move(entry);
}

void CallerCache::Forget(pid_t thread, const std::shared_ptr<const Entry>& entry) {
  std::lock_guard lock(mutex_);
  auto it = entries_.find(thread);
  // Another request may have read the thread again meanwhile; that entry stays.
  if (it != entries_.end() && it->second == entry) entries_.erase(it);
}

CallerScope::CallerScope(kernel::Kernel& kernel, pid_t thread, const server::IdentityReader& readIdentity,
                         CallerCache* cache)
    : kernel_(kernel), kernelScope_(kernel), previous_(kernel::CurrentProcess()) {
  if (thread == 0) {
    kernel::SetCurrentProcess(kernel.Processes().System());
    return;
  }
  server::ProcessIdentity identity;
  status_ = cache ? cache->Identify(thread, readIdentity, &identity) : ReadIdentityOf(thread, readIdentity, &identity);
  if (!NT_SUCCESS(status_)) return;
  // No caller is the System process by its id: only the kernel's own requests are.
  if (identity.processId == kernel::kSystemProcessId) {
    status_ = STATUS_ACCESS_DENIED;
    return;
  }
  Enter(identity);
}

CallerScope::CallerScope(kernel::Kernel& kernel, const server::ProcessIdentity& identity)
    : kernel_(kernel), kernelScope_(kernel), previous_(kernel::CurrentProcess()) {
  if (identity.processId == 0) {
    kernel::SetCurrentProcess(kernel.Processes().System());
    return;
  }
  Enter(identity);
}

void CallerScope::Enter(const server::ProcessIdentity& identity) {
  PEPROCESS process = kernel_.Processes().Acquire(identity.processId, identity.imageName);
  held_ = identity.processId;
  identity_ = identity;
  kernel::SetCurrentProcess(process);
}

CallerScope::~CallerScope() {
  kernel::SetCurrentProcess(previous_);
  if (held_) (void)kernel_.Processes().Release(held_);
}

}  // namespace nb::fuse
