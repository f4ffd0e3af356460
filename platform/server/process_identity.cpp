// Who a connecting process is: its image name from /proc/PID/exe and its start time
// from /proc/PID/stat.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <string>

#include "nb/posix/process_image.h"
#include "nb/server/socket_server.h"

namespace nb::server {

namespace {

constexpr int kStartTimeField = 22;  // of /proc/PID/stat, counting from 1

std::string ProcPath(pid_t pid, const char* leaf) { return "/proc/" + std::to_string(pid) + "/" + leaf; }

// A small text file of /proc in full; false when it cannot be read.
bool ReadSmallFile(const std::string& path, std::string* text) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  text->clear();
  char buffer[1024];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)) {
    if (got > 0) text->append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return got == 0;
}

}  // namespace

std::string ImageNameOf(std::string_view executablePath) {
  return nb::posix::ImageNameOfExecutable(executablePath);
}

bool StartTimeOf(std::string_view statText, uint64_t* startTime) {
  // "PID (COMMAND) STATE ...": the command may hold anything, so fields count from the
  // last ')', which is followed by field 3.
  size_t close = statText.rfind(')');
  if (close == std::string_view::npos) return false;
  std::string_view rest = statText.substr(close + 1);
  size_t at = rest.find_first_not_of(' ');
  for (int field = 3; field < kStartTimeField && at != std::string_view::npos; ++field) {
    at = rest.find(' ', at);
    if (at != std::string_view::npos) at = rest.find_first_not_of(' ', at);
  }
  if (at == std::string_view::npos) return false;
  const char* end = rest.data() + rest.size();
  auto [stop, error] = std::from_chars(rest.data() + at, end, *startTime);
  return error == std::errc() && (stop == end || *stop == ' ' || *stop == '\n');
}

NTSTATUS ReadProcessIdentity(pid_t pid, ProcessIdentity* identity) {
  *identity = ProcessIdentity{};
  std::string stat;
  if (pid <= 0 || !ReadSmallFile(ProcPath(pid, "stat"), &stat)) return STATUS_INVALID_CID;
  if (!StartTimeOf(stat, &identity->startTime)) return STATUS_INVALID_CID;
  // Only the executable names a process: its command name is the process's to change.
  std::string exe(4096, '\0');
  ssize_t length = readlink(ProcPath(pid, "exe").c_str(), exe.data(), exe.size());
  if (length <= 0 || static_cast<size_t>(length) >= exe.size()) {
    return errno == ENOENT || errno == ESRCH ? STATUS_INVALID_CID : STATUS_ACCESS_DENIED;
  }
  exe.resize(static_cast<size_t>(length));
  identity->processId = static_cast<ULONG>(pid);
  identity->imageName = ImageNameOf(exe);
  return STATUS_SUCCESS;
}

}  // namespace nb::server
