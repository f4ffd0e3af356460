// Starting, stopping and asking after a host.
#include "nb/host/daemon.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "nb/host/host_log.h"
#include "nb/host/host_machine.h"
#include "nb/host/host_mounts.h"
#include "nb/host/instance.h"

namespace nb::host {

namespace {

constexpr auto kStopTimeout = std::chrono::seconds(20);

void Say(const std::string& text) { std::fprintf(stdout, "nbhost: %s\n", text.c_str()); }
void Complain(const std::string& text) { std::fprintf(stderr, "nbhost: %s\n", text.c_str()); }

// Signals that end the host are taken by sigwait in the main thread only: blocked here,
// before any thread starts, so every later thread inherits the mask.
sigset_t StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  return signals;
}

// Root's profile, and the profile of the login that started the host when it is known
// (through sudo, or a host started by another user).
std::vector<MachineVolumes::Profile> ProfilesOfInvoker() {
  std::vector<MachineVolumes::Profile> profiles{{"Administrator", -1, -1}};
  passwd entry;
  passwd* found = nullptr;
  std::string buffer(16384, '\0');
  const char* sudoUser = std::getenv("SUDO_USER");
  if (sudoUser && *sudoUser) {
    getpwnam_r(sudoUser, &entry, buffer.data(), buffer.size(), &found);
  } else if (getuid() != 0) {
    getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found);
  }
  if (found && found->pw_uid != 0 && found->pw_name && *found->pw_name) {
    profiles.push_back({found->pw_name, static_cast<int>(found->pw_uid), static_cast<int>(found->pw_gid)});
  }
  return profiles;
}

// Runs the machine until a stop signal. `ready` is told once the host serves requests.
int RunHost(const RootLayout& layout, const HostCommand& command, InstanceLock& lock, int readyPipe) {
  sigset_t signals = StopSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::string error;
  if (!lock.WriteOwner(getpid(), &error)) {
    if (readyPipe >= 0) (void)!write(readyPipe, error.data(), error.size());
    HostLog("%s", error.c_str());
    return 1;
  }
  // The machine goes (clients ended, hive closed) before the lock does: a host is
  // stopped only once nothing of it touches the root any more.
  auto machine = std::make_unique<HostMachine>();
  HostMachine::BootOptions options;
  options.locale = std::getenv("LANG");
  options.drivers = command.drivers;
  options.profiles = ProfilesOfInvoker();
  if (!machine->Boot(layout, options, &error)) {
    if (readyPipe >= 0) (void)!write(readyPipe, error.data(), error.size());
    HostLog("%s", error.c_str());
    machine.reset();
    lock.Release();
    return 1;
  }
  HostLog("host up on %s", layout.root.c_str());
  if (readyPipe >= 0) {
    (void)!write(readyPipe, "", 1);
    close(readyPipe);
  }
  int received = 0;
  while (sigwait(&signals, &received) != 0) {
  }
  HostLog("stopping on signal %d", received);
  machine.reset();
  // Logged while the lock is held: whoever waits for the host to stop finds the line.
  HostLog("host down");
  lock.Release();
  return 0;
}

// The child of a background start: a session of its own, standard error to the log.
int RunDaemonChild(const RootLayout& layout, const HostCommand& command, InstanceLock& lock, int readyPipe) {
  setsid();
  int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
  int logFile = open(layout.logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (devNull < 0 || logFile < 0) {
    std::string error = "cannot open " + layout.logFile + ": " + std::strerror(errno);
    (void)!write(readyPipe, error.data(), error.size());
    return 1;
  }
  dup2(devNull, STDIN_FILENO);
  dup2(devNull, STDOUT_FILENO);
  dup2(logFile, STDERR_FILENO);
  close(devNull);
  close(logFile);
  return RunHost(layout, command, lock, readyPipe);
}

}  // namespace

int StartHost(const HostCommand& command) {
  RootLayout layout(command.root);
  std::string error;
  if (!CreateRootFolders(layout, &error)) {
    Complain(error);
    return 1;
  }
  InstanceLock lock;
  HostState previous;
  switch (lock.Acquire(layout, &previous, &error)) {
    case InstanceLock::Result::kAcquired:
      break;
    case InstanceLock::Result::kAlreadyRunning:
      Complain("a host already runs on " + layout.root + " (pid " + std::to_string(previous.pid) + ")");
      return 1;
    case InstanceLock::Result::kFailed:
      Complain(error);
      return 1;
  }
  if (previous.staleFiles) {
    std::string note = "cleaned up after a host that died on " + layout.root;
    if (previous.pid) note += " (pid " + std::to_string(previous.pid) + ")";
    Say(note);
  }
  if (command.foreground) return RunHost(layout, command, lock, -1);

  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) {
    Complain(std::string("cannot make a pipe: ") + std::strerror(errno));
    return 1;
  }
  std::fflush(nullptr);
  pid_t child = fork();
  if (child < 0) {
    Complain(std::string("cannot fork: ") + std::strerror(errno));
    return 1;
  }
  if (child == 0) {
    close(ready[0]);
    _exit(RunDaemonChild(layout, command, lock, ready[1]));
  }
  close(ready[1]);
  // The child keeps the lock through the open file description it inherited.
  char answer[512];
  ssize_t read = ::read(ready[0], answer, sizeof answer);
  close(ready[0]);
  if (read == 1 && answer[0] == '\0') {
    Say("started on " + layout.root + " (pid " + std::to_string(child) + ")");
    return 0;
  }
  Complain("the host did not start: " +
           (read > 0 ? std::string(answer, static_cast<size_t>(read)) : std::string("see ") + layout.logFile));
  waitpid(child, nullptr, WNOHANG);
  return 1;
}

int StopHost(const HostCommand& command) {
  RootLayout layout(command.root);
  HostState state = ProbeHost(layout);
  if (!state.running) {
    for (const std::string& point : ClearStaleMountsBelow(layout.mnt)) {
      Say("removed the mount at " + point + " that a host which died left");
    }
    if (state.staleFiles) {
      InstanceLock lock;
      HostState previous;
      std::string error;
      if (lock.Acquire(layout, &previous, &error) == InstanceLock::Result::kAcquired) lock.Release();
      Say("no host runs on " + layout.root + "; removed what a host that died left");
    } else {
      Say("no host runs on " + layout.root);
    }
    return 0;
  }
  if (state.pid <= 1 || kill(state.pid, SIGTERM) != 0) {
    Complain("cannot signal the host on " + layout.root + " (pid " + std::to_string(state.pid) + ")");
    return 1;
  }
  auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
  while (ProbeHost(layout).running) {
    if (std::chrono::steady_clock::now() > deadline) {
      Complain("the host on " + layout.root + " (pid " + std::to_string(state.pid) + ") did not stop");
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  Say("stopped the host on " + layout.root + " (pid " + std::to_string(state.pid) + ")");
  return 0;
}

int HostStatus(const HostCommand& command) {
  RootLayout layout(command.root);
  HostState state = ProbeHost(layout);
  if (state.running) {
    Say("running on " + layout.root + " (pid " + std::to_string(state.pid) + "), socket " + layout.socket);
    return 0;
  }
  Say("not running on " + layout.root + (state.staleFiles ? " (a host that died left its files)" : ""));
  return 3;
}

}  // namespace nb::host
