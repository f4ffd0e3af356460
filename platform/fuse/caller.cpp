// FUSE callers as kernel processes.
#include "caller.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <string>

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

CallerScope::CallerScope(kernel::Kernel& kernel, pid_t thread, const server::IdentityReader& readIdentity)
    : kernel_(kernel), kernelScope_(kernel), previous_(kernel::CurrentProcess()) {
  if (thread == 0) {
    kernel::SetCurrentProcess(kernel.Processes().System());
    return;
  }
  pid_t group = 0;
  if (!ThreadGroupOf(thread, &group)) {
    status_ = STATUS_INVALID_CID;
    return;
  }
  server::ProcessIdentity identity;
  status_ = readIdentity(group, &identity);
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
