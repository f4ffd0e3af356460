// The machine root's layout and the single-host lock.
#include "nb/host/instance.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace nb::host {

namespace {

// F_OFD_GETLK on the whole file: true when another open file description holds a write
// lock on it (a live host).
bool LockedByOther(int fd) {
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  if (fcntl(fd, F_OFD_GETLK, &probe) != 0) return false;
  return probe.l_type != F_UNLCK;
}

pid_t ReadPid(int fd) {
  char text[32] = {};
  ssize_t read = pread(fd, text, sizeof text - 1, 0);
  if (read <= 0) return 0;
  long value = std::strtol(text, nullptr, 10);
  return value > 0 ? static_cast<pid_t>(value) : 0;
}

bool Exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

}  // namespace

RootLayout::RootLayout(std::string rootPath)
    : root(std::move(rootPath)),
      run(root + "/run"),
      log(root + "/log"),
      volumes(root + "/volumes"),
      mnt(root + "/mnt"),
      pidFile(run + "/nbhost.pid"),
      socket(run + "/nbhost.sock"),
      logFile(log + "/nbhost.log"),
      hive(root + "/hive.db") {}

bool CreateRootFolders(const RootLayout& layout, std::string* error) {
  for (const std::string* folder : {&layout.root, &layout.run, &layout.log, &layout.volumes, &layout.mnt}) {
    if (mkdir(folder->c_str(), 0755) != 0 && errno != EEXIST) {
      *error = "cannot create " + *folder + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

HostState ProbeHost(const RootLayout& layout) {
  HostState state;
  int fd = open(layout.pidFile.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    state.staleFiles = Exists(layout.socket);
    return state;
  }
  state.pid = ReadPid(fd);
  state.running = LockedByOther(fd);
  state.staleFiles = !state.running;
  close(fd);
  return state;
}

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) close(fd_);
}

InstanceLock::Result InstanceLock::Acquire(const RootLayout& layout, HostState* previous, std::string* error) {
  *previous = HostState{};
  int fd = open(layout.pidFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot open " + layout.pidFile + ": " + std::strerror(errno);
    return Result::kFailed;
  }
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
    int lockError = errno;
    previous->running = true;
    previous->pid = ReadPid(fd);
    close(fd);
    if (lockError == EAGAIN || lockError == EACCES) return Result::kAlreadyRunning;
    *error = "cannot lock " + layout.pidFile + ": " + std::strerror(lockError);
    return Result::kFailed;
  }
  // Ours now: whatever the file or the socket still holds belongs to a host that died.
  previous->pid = ReadPid(fd);
  previous->staleFiles = previous->pid != 0 || Exists(layout.socket);
  if (Exists(layout.socket) && unlink(layout.socket.c_str()) != 0) {
    *error = "cannot remove the stale socket " + layout.socket + ": " + std::strerror(errno);
    close(fd);
    return Result::kFailed;
  }
  if (ftruncate(fd, 0) != 0) {
    *error = "cannot empty " + layout.pidFile + ": " + std::strerror(errno);
    close(fd);
    return Result::kFailed;
  }
  fd_ = fd;
  pidFile_ = layout.pidFile;
  socket_ = layout.socket;
  return Result::kAcquired;
}

bool InstanceLock::WriteOwner(pid_t pid, std::string* error) {
  std::string text = std::to_string(pid) + "\n";
  if (ftruncate(fd_, 0) != 0 || pwrite(fd_, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()) ||
      fsync(fd_) != 0) {
    *error = "cannot write " + pidFile_ + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

void InstanceLock::Release() {
  if (fd_ < 0) return;
  // Remove while still holding the lock, so a starting host never sees our files as stale.
  unlink(socket_.c_str());
  unlink(pidFile_.c_str());
  close(fd_);
  fd_ = -1;
}

}  // namespace nb::host
