// One host per machine root: the pid file under root/run holds an open-file-description
// lock for as long as the host lives, so a host that died (even by kill -9) is told from a
// running one without trusting the pid written in the file.
#pragma once

#include <sys/types.h>

#include <string>

namespace nb::host {

// The folders and files of a machine root.
struct RootLayout {
  explicit RootLayout(std::string root);
  std::string root;
  std::string run;      // root/run
  std::string log;      // root/log
  std::string volumes;  // root/volumes
  std::string mnt;      // root/mnt
  std::string pidFile;  // root/run/nbhost.pid
  std::string socket;   // root/run/nbhost.sock
  std::string logFile;  // root/log/nbhost.log
  std::string hive;     // root/hive.db
};

// Creates the root's folders (0755) when missing; false with `error` set otherwise.
bool CreateRootFolders(const RootLayout& layout, std::string* error);

struct HostState {
  bool running = false;
  pid_t pid = 0;            // the running host's pid, or the dead one's as its file says
  bool staleFiles = false;  // not running, but a pid file or socket was left behind
};

// Looks at the root without taking anything.
HostState ProbeHost(const RootLayout& layout);

// The lock a running host holds. Acquire fails when another host holds it; a dead host's
// pid file and socket are removed first (`previous` tells whose they were).
class InstanceLock {
 public:
  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  enum class Result { kAcquired, kAlreadyRunning, kFailed };
  Result Acquire(const RootLayout& layout, HostState* previous, std::string* error);
  // Writes the pid of the process that now owns the lock (after a fork, the child).
  bool WriteOwner(pid_t pid, std::string* error);
  // Removes the pid file and the socket, then lets the lock go (clean stop).
  void Release();
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
  std::string pidFile_;
  std::string socket_;
};

}  // namespace nb::host
