// Process handles for the information calls.
#include "nb/win/process_query.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include <windows.h>

namespace nb::win {

namespace {

constexpr ACCESS_MASK kQueryRights =
    PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE;

std::shared_ptr<QueryableProcessHandle> Refuse(DWORD* error, DWORD code) {
  *error = code;
  return nullptr;
}

// "Tgid:" of /proc/PID/status: a thread's id names its thread, not a process.
bool IsProcessLeader(int dirFd, DWORD processId) {
  int fd = openat(dirFd, "status", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string text(4096, '\0');
  ssize_t got = read(fd, text.data(), text.size());
  close(fd);
  if (got <= 0) return false;
  text.resize(static_cast<size_t>(got));
  size_t at = text.find("\nTgid:");
  if (at == std::string::npos) return false;
  return std::strtoul(text.c_str() + at + 6, nullptr, 10) == processId;
}

// The host's kernel threads are the System process's.
bool IsKernelThread(int dirFd) {
  int fd = openat(dirFd, "stat", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[1024];
  ssize_t got = read(fd, text, sizeof text);
  close(fd);
  ProcessStat stat;
  return got > 0 && ParseProcessStat(std::string_view(text, static_cast<size_t>(got)), &stat) &&
         (stat.flags & kKernelThreadFlag);
}

}  // namespace

std::shared_ptr<QueryableProcessHandle> OpenProcessForQuery(DWORD processId, ACCESS_MASK access, DWORD* error) {
  if (access & ~kQueryRights) return Refuse(error, ERROR_ACCESS_DENIED);
  if (processId == 0) return Refuse(error, ERROR_INVALID_PARAMETER);
  if (processId == kSystemProcessId) return Refuse(error, ERROR_ACCESS_DENIED);
  std::string path = "/proc/" + std::to_string(processId);
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Refuse(error, ERROR_INVALID_PARAMETER);
  auto directory = std::make_unique<ProcessDirectory>(fd);
  if (!IsProcessLeader(fd, processId)) return Refuse(error, ERROR_INVALID_PARAMETER);
  if (IsKernelThread(fd)) return Refuse(error, ERROR_ACCESS_DENIED);
  // Kernel threads belong to the System process; a host process whose executable this
  // process may not read is not its to inspect.
  std::string executable;
  if (!directory->Executable(&executable, error)) {
    return Refuse(error, *error == ERROR_ACCESS_DENIED ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER);
  }
  if (access & PROCESS_VM_READ) {
    int maps = openat(fd, "maps", O_RDONLY | O_CLOEXEC);
    if (maps < 0) return Refuse(error, errno == EACCES || errno == EPERM ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER);
    close(maps);
  }
  *error = ERROR_SUCCESS;
  return std::make_shared<QueryableProcessHandle>(processId, access, std::move(directory));
}

HANDLE OpenProcessHandleForQuery(DWORD processId, ACCESS_MASK access) {
  DWORD error;
  auto process = OpenProcessForQuery(processId, access, &error);
  if (!process) {
    SetLastError(error);
    return nullptr;
  }
  HANDLE handle = ProcessHandles().Insert(std::move(process));
  if (!handle) SetLastError(ERROR_TOO_MANY_OPEN_FILES);
  return handle;
}

}  // namespace nb::win
