// GetCurrentProcessId, OpenProcess and TerminateProcess over pidfds.
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include <windows.h>

#include <fcntl.h>

#include <memory>
#include <string>

#include "nb/win/errors.h"
#include "nb/win/handle_table.h"
#include "nb/win/process_query.h"
#include "nb/win/transport.h"

namespace {

constexpr DWORD kSystemProcessId = 4;

// A process: its pidfd keeps naming it after it ends, never a later process of its id. It
// is a handle the information calls (PSAPI, tool help) accept as well, through the
// process's /proc directory.
class ProcessHandle final : public nb::win::QueryableProcessHandle {
 public:
  ProcessHandle(DWORD processId, int pidfd, DWORD access, std::unique_ptr<nb::win::ProcessDirectory> directory)
      : QueryableProcessHandle(processId, access, std::move(directory)), pidfd_(pidfd) {}
  ~ProcessHandle() override { ::close(pidfd_); }
  ProcessHandle(const ProcessHandle&) = delete;
  ProcessHandle& operator=(const ProcessHandle&) = delete;

  int pidfd() const { return pidfd_; }

 private:
  int pidfd_;
};

HANDLE FailNull(DWORD error) {
  SetLastError(error);
  return nullptr;
}

// The errors of opening a process by id, as Windows reports them.
DWORD OpenError(int error) {
  switch (error) {
    case ESRCH:
    case EINVAL:  // an id of a thread that leads no process
      return ERROR_INVALID_PARAMETER;
    case EPERM:
    case EACCES:
      return ERROR_ACCESS_DENIED;
    default:
      return nb::win::Win32ErrorFromErrno(error);
  }
}

}  // namespace

DWORD GetCurrentProcessId() {
  nb::win::Transport* transport = nb::win::CurrentTransport();
  return transport ? transport->CallerProcessId() : static_cast<DWORD>(::getpid());
}

HANDLE OpenProcess(DWORD desiredAccess, BOOL /*inheritHandle*/, DWORD processId) {
  if (processId == 0) return FailNull(ERROR_INVALID_PARAMETER);
  if (processId == kSystemProcessId) return FailNull(ERROR_ACCESS_DENIED);
  if (processId > 0x7FFFFFFF) return FailNull(ERROR_INVALID_PARAMETER);
  // Reading a process's memory (its modules) is granted as the information calls grant
  // it: a process whose executable this one may not read is refused.
  if (desiredAccess & PROCESS_VM_READ) {
    DWORD error = ERROR_SUCCESS;
    if (!nb::win::OpenProcessForQuery(processId, desiredAccess & (PROCESS_QUERY_INFORMATION | PROCESS_VM_READ), &error)) return FailNull(error);
  }
  int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(processId), 0));
  if (pidfd < 0) return FailNull(OpenError(errno));
  // The /proc directory is opened after the pidfd and checked while the pidfd's process
  // still lives, so both name the same process.
  std::string procPath = "/proc/" + std::to_string(processId);
  int directoryFd = ::open(procPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directoryFd < 0) {
    ::close(pidfd);
    return FailNull(ERROR_INVALID_PARAMETER);
  }
  auto directory = std::make_unique<nb::win::ProcessDirectory>(directoryFd);
  if (::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) != 0 && errno == ESRCH) {
    ::close(pidfd);
    return FailNull(ERROR_INVALID_PARAMETER);
  }
  // Termination is granted only where a signal may be sent.
  if ((desiredAccess & PROCESS_TERMINATE) &&
      ::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) != 0 && errno == EPERM) {
    ::close(pidfd);
    return FailNull(ERROR_ACCESS_DENIED);
  }
  HANDLE handle = nb::win::ProcessHandles().Insert(
      std::make_shared<ProcessHandle>(processId, pidfd, desiredAccess, std::move(directory)));
  return handle ? handle : FailNull(ERROR_NO_SYSTEM_RESOURCES);
}

BOOL TerminateProcess(HANDLE process, UINT /*exitCode*/) {
  auto object = nb::win::ProcessHandles().GetAs<ProcessHandle>(process);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!(object->access() & PROCESS_TERMINATE)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (::syscall(SYS_pidfd_send_signal, object->pidfd(), SIGKILL, nullptr, 0) != 0) {
    // A process that has ended (or is beyond reach) cannot be terminated.
    SetLastError(errno == ESRCH || errno == EPERM ? ERROR_ACCESS_DENIED : nb::win::Win32ErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}
