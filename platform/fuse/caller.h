// The process a FUSE request comes from, as the kernel's process object: FUSE reports the
// calling thread, the kernel knows processes by thread-group id.
#pragma once

#include <sys/types.h>

#include <ntifs.h>

#include "nb/kernel/kernel.h"
#include "nb/server/socket_server.h"

namespace nb::fuse {

// The thread-group id of a thread from the "Tgid:" line of /proc/TID/status; false when the
// thread has gone.
[[nodiscard]] bool ThreadGroupOf(pid_t thread, pid_t* threadGroup);
// The "Tgid:" value in the text of a status file.
[[nodiscard]] bool ThreadGroupIn(std::string_view statusText, pid_t* threadGroup);

// Runs the enclosing scope on `kernel` in the process that sent a request: the System
// process for the kernel's own requests (thread 0), otherwise the thread group's process
// object, held for the scope. Status() fails when the caller cannot be identified.
class CallerScope {
 public:
  CallerScope(kernel::Kernel& kernel, pid_t thread, const server::IdentityReader& readIdentity);
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
