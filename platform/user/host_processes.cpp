// The machine's processes read from /proc.
#include "nb/win/host_processes.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <map>
#include <utility>

#include <winerror.h>

#include "nb/posix/process_image.h"
#include "nb/text.h"

namespace nb::win {

namespace {

constexpr std::string_view kDeletedMark = " (deleted)";

// A /proc file below `dirFd` in full; -errno on failure.
int ReadProcFile(int dirFd, const char* leaf, std::string* text) {
  int fd = openat(dirFd, leaf, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -errno;
  text->clear();
  char buffer[4096];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)) {
    if (got > 0) text->append(buffer, static_cast<size_t>(got));
  }
  int failure = got < 0 ? -errno : 0;
  close(fd);
  return failure;
}

int ReadLinkAt(int dirFd, const char* leaf, std::string* target) {
  std::string buffer(4096, '\0');
  ssize_t length = readlinkat(dirFd, leaf, buffer.data(), buffer.size());
  if (length < 0) return -errno;
  if (static_cast<size_t>(length) >= buffer.size()) return -ENAMETOOLONG;
  buffer.resize(static_cast<size_t>(length));
  *target = std::move(buffer);
  return 0;
}

// A process that has gone answers reads of its directory with ESRCH or ENOENT.
DWORD ErrorOfProcRead(int negativeErrno) {
  switch (-negativeErrno) {
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    default:
      return ERROR_PARTIAL_COPY;
  }
}

template <typename Number>
bool ParseNumber(std::string_view text, Number* value) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return error == std::errc() && end == text.data() + text.size();
}

// One host process for the list, or false when it is not listed.
bool ReadListedProcess(int procFd, DWORD pid, HostProcess* process) {
  if (pid == kSystemProcessId) return false;
  std::string name = std::to_string(pid);
  int dirFd = openat(procFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) return false;
  ProcessDirectory directory(dirFd);
  std::string stat;
  ProcessStat parsed;
  if (ReadProcFile(dirFd, "stat", &stat) != 0 || !ParseProcessStat(stat, &parsed)) return false;
  if ((parsed.flags & kKernelThreadFlag) || parsed.state == 'Z' || parsed.state == 'X') return false;
  std::string executable;
  DWORD error;
  if (!directory.Executable(&executable, &error)) return false;
  process->processId = pid;
  process->parentProcessId = parsed.parentProcessId;
  process->threads = parsed.threads;
  process->imageName = nb::text::Utf8ToUtf16(nb::posix::ImageNameOfExecutable(executable));
  return true;
}

}  // namespace

bool ParseProcessStat(std::string_view text, ProcessStat* stat) {
  // "PID (COMMAND) STATE PPID ...": fields count from the last ')'.
  size_t close = text.rfind(')');
  if (close == std::string_view::npos) return false;
  std::string_view rest = text.substr(close + 1);
  std::vector<std::string_view> fields;  // fields[0] is field 3
  size_t at = 0;
  while (fields.size() < 18) {
    at = rest.find_first_not_of(" \n", at);
    if (at == std::string_view::npos) break;
    size_t end = rest.find_first_of(" \n", at);
    if (end == std::string_view::npos) end = rest.size();
    fields.push_back(rest.substr(at, end - at));
    at = end;
  }
  if (fields.size() < 18 || fields[0].size() != 1) return false;
  ProcessStat parsed;
  parsed.state = fields[0][0];
  if (!ParseNumber(fields[1], &parsed.parentProcessId) || !ParseNumber(fields[6], &parsed.flags) ||
      !ParseNumber(fields[17], &parsed.threads)) {
    return false;
  }
  *stat = parsed;
  return true;
}

bool ListHostProcesses(std::vector<HostProcess>* processes, DWORD* error) {
  processes->clear();
  int procFd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* proc = procFd >= 0 ? fdopendir(procFd) : nullptr;
  if (!proc) {
    if (procFd >= 0) close(procFd);
    *error = ERROR_NOT_SUPPORTED;
    return false;
  }
  std::vector<DWORD> ids;
  while (dirent* entry = readdir(proc)) {
    DWORD pid;
    if (ParseNumber(std::string_view(entry->d_name), &pid) && pid != 0) ids.push_back(pid);
  }
  std::sort(ids.begin(), ids.end());
  processes->push_back(HostProcess{kSystemProcessId, 0, 1, u"System"});
  for (DWORD pid : ids) {
    HostProcess process;
    if (ReadListedProcess(dirfd(proc), pid, &process)) processes->push_back(std::move(process));
  }
  closedir(proc);
  *error = ERROR_SUCCESS;
  return true;
}

std::vector<HostModule> ModulesOfMaps(std::string_view mapsText, std::string_view executablePath) {
  struct Mapped {
    uintptr_t low = UINTPTR_MAX;
    uintptr_t high = 0;
    bool executable = false;
    std::string path;
  };
  // Keyed by device and inode: one file may be mapped under one name several times.
  std::map<std::pair<std::string, std::string>, Mapped> files;
  size_t at = 0;
  while (at < mapsText.size()) {
    size_t end = mapsText.find('\n', at);
    if (end == std::string_view::npos) end = mapsText.size();
    std::string_view line = mapsText.substr(at, end - at);
    at = end + 1;
    // "start-end perms offset dev inode   path"
    std::string_view fields[5];
    size_t position = 0;
    bool complete = true;
    for (auto& field : fields) {
      position = line.find_first_not_of(' ', position);
      if (position == std::string_view::npos) {
        complete = false;
        break;
      }
      size_t stop = line.find(' ', position);
      if (stop == std::string_view::npos) stop = line.size();
      field = line.substr(position, stop - position);
      position = stop;
    }
    if (!complete || fields[4] == "0") continue;
    position = line.find_first_not_of(' ', position);
    if (position == std::string_view::npos || line[position] != '/') continue;
    std::string_view path = line.substr(position);
    if (path.ends_with(kDeletedMark)) path.remove_suffix(kDeletedMark.size());
    size_t dash = fields[0].find('-');
    uintptr_t low, high;
    if (dash == std::string_view::npos || fields[1].size() < 3) continue;
    auto parseHex = [](std::string_view text, uintptr_t* value) {
      auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), *value, 16);
      return error == std::errc() && stop == text.data() + text.size();
    };
    if (!parseHex(fields[0].substr(0, dash), &low) || !parseHex(fields[0].substr(dash + 1), &high) || high < low) {
      continue;
    }
    Mapped& file = files[{std::string(fields[3]), std::string(fields[4])}];
    file.low = std::min(file.low, low);
    file.high = std::max(file.high, high);
    file.executable = file.executable || fields[1][2] == 'x';
    if (file.path.empty()) file.path = std::string(path);
  }
  std::vector<HostModule> modules;
  for (auto& [key, file] : files) {
    if (!file.executable) continue;
    modules.push_back(HostModule{file.low, file.high - file.low, std::move(file.path)});
  }
  std::sort(modules.begin(), modules.end(), [&](const HostModule& a, const HostModule& b) {
    bool aMain = a.hostPath == executablePath, bMain = b.hostPath == executablePath;
    if (aMain != bMain) return aMain;
    return a.base < b.base;
  });
  return modules;
}

ProcessDirectory::~ProcessDirectory() {
  if (fd_ >= 0) close(fd_);
}

bool ProcessDirectory::Executable(std::string* path, DWORD* error) const {
  int result = ReadLinkAt(fd_, "exe", path);
  if (result != 0) {
    *error = ErrorOfProcRead(result);
    return false;
  }
  if (std::string_view(*path).ends_with(kDeletedMark)) path->resize(path->size() - kDeletedMark.size());
  *error = ERROR_SUCCESS;
  return true;
}

bool ProcessDirectory::Modules(std::vector<HostModule>* modules, DWORD* error) const {
  std::string executable, maps;
  if (!Executable(&executable, error)) return false;
  int result = ReadProcFile(fd_, "maps", &maps);
  if (result != 0) {
    *error = ErrorOfProcRead(result);
    return false;
  }
  *modules = ModulesOfMaps(maps, executable);
  // A process that has gone while being read leaves an empty map.
  if (modules->empty()) {
    *error = ERROR_PARTIAL_COPY;
    return false;
  }
  *error = ERROR_SUCCESS;
  return true;
}

}  // namespace nb::win
