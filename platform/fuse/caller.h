// The process a FUSE request comes from, as the kernel's process object: FUSE reports the
// calling thread, the kernel knows processes by thread-group id.
#pragma once

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include <ntifs.h>

#include "nb/kernel/kernel.h"
#include "nb/server/socket_server.h"

namespace nb::fuse {

// The thread-group id of a thread from the "Tgid:" line of /proc/TID/status; false when the
// thread has gone.
[[nodiscard]] bool ThreadGroupOf(pid_t thread, pid_t* threadGroup);
// The "Tgid:" value in the text of a status file.
[[nodiscard]] bool ThreadGroupIn(std::string_view statusText, pid_t* threadGroup);

// The executable path of a thread's process (/proc/TID/exe); false when it cannot be read.
[[nodiscard]] bool ExecutableOf(pid_t thread, std::string* path);

// Identities of the threads that sent requests, so that a thread's next request does not
// read /proc again. An identity is remembered with a descriptor of the thread itself
// (pidfd), and is given again only while that thread has not ended (so its id cannot
// have been reused by another thread or process) and its process's executable is the
// one it was read with (an exec gives a process a new image name under the same id).
// Only the system's own reader is remembered: a reader that plays identities is asked
// every time.
class CallerCache {
 public:
  CallerCache() = default;
  ~CallerCache();
  CallerCache(const CallerCache&) = delete;
  CallerCache& operator=(const CallerCache&) = delete;

  // The identity of the process of `thread`, remembered or read with `read`.
  // STATUS_INVALID_CID when the thread has gone.
  [[nodiscard]] NTSTATUS Identify(pid_t thread, const server::IdentityReader& read, server::ProcessIdentity* identity);
  // Threads remembered now (for tests).
  size_t Size() const;

  // Threads remembered at most; past it, ended threads are dropped, then all.
  static constexpr size_t kMaximumEntries = 128;

 private:
  struct Entry;
  // Reads the identity of `thread` afresh, and remembers it when the thread can be watched.
  NTSTATUS Read(pid_t thread, const server::IdentityReader& read, server::ProcessIdentity* identity);
  void Remember(pid_t thread, std::shared_ptr<const Entry> entry);
  void Forget(pid_t thread, const std::shared_ptr<const Entry>& entry);

  mutable std::mutex mutex_;
  // Entries are shared so that one is never closed under a thread still checking it.
  std::unordered_map<pid_t, std::shared_ptr<const Entry>> entries_;
};

// Runs the enclosing scope on `kernel` in the process that sent a request: the System
// process for the kernel's own requests (thread 0), otherwise the thread group's process
// object, held for the scope. Status() fails when the caller cannot be identified.
class CallerScope {
 public:
  CallerScope(kernel::Kernel& kernel, pid_t thread, const server::IdentityReader& readIdentity,
              CallerCache* cache = nullptr);
  // The same for a process known already (processId 0: the System process), as when the
  // kernel writes back a file's mapped pages for the process that opened it.
  CallerScope(kernel::Kernel& kernel, const server::ProcessIdentity& identity);
  ~CallerScope();
  CallerScope(const CallerScope&) = delete;
  CallerScope& operator=(const CallerScope&) = delete;
  NTSTATUS Status() const { return status_; }
  // Who the scope runs as (processId 0 for the System process).
  const server::ProcessIdentity& Identity() const { return identity_; }

 private:
  void Enter(const server::ProcessIdentity& identity);

  kernel::Kernel& kernel_;
  kernel::KernelScope kernelScope_;
  PEPROCESS previous_;
  ULONG held_ = 0;  // the process id acquired, 0 for none
  server::ProcessIdentity identity_;
  NTSTATUS status_ = STATUS_SUCCESS;
};

}  // namespace nb::fuse
