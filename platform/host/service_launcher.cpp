// Service programs as child processes of nbhost.
#include "nb/host/service_launcher.h"

#include <signal.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "nb/host/host_log.h"
#include "nb/text.h"

extern char** environ;

namespace nb::host {

ServiceProgramLauncher::ServiceProgramLauncher(kernel::Kernel& kernel, std::string root)
    : kernel_(kernel), root_(std::move(root)) {
  kernel_.Services().SetLauncher(this);
}

ServiceProgramLauncher::~ServiceProgramLauncher() {
  kernel_.Services().SetLauncher(nullptr);
  std::map<pid_t, std::thread> reapers;
  std::vector<std::thread> finished;
  {
    std::lock_guard lock(mutex_);
    for (auto& [pid, thread] : reapers_) kill(pid, SIGKILL);
    reapers.swap(reapers_);
    finished.swap(finished_);
  }
  for (auto& [pid, thread] : reapers) thread.join();
  for (std::thread& thread : finished) thread.join();
  std::lock_guard lock(mutex_);
  for (std::thread& thread : finished_) thread.join();
  finished_.clear();
}

NTSTATUS ServiceProgramLauncher::Launch(const std::u16string& name, const std::string& program,
                                        const std::vector<std::string>& arguments, ULONG* processId) {
  *processId = 0;
  // Everything the child gets is made before it is spawned.
  std::vector<std::string> words{program};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::vector<std::string> variables{"NB_ROOT=" + root_};
  for (char** variable = environ; *variable; ++variable) {
    if (std::strncmp(*variable, "NB_ROOT=", 8) != 0) variables.emplace_back(*variable);
  }
  std::vector<char*> envp;
  for (std::string& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
  // The host blocks its stop signals in every thread; a service must be stoppable.
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
  pid_t pid = 0;
  int error = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  std::string service = text::Utf16ToUtf8(name);
  if (error != 0) {
    HostLog("cannot start %s for the service %s: %s", program.c_str(), service.c_str(), std::strerror(error));
    return error == ENOENT ? NTSTATUS_FROM_WIN32(ERROR_FILE_NOT_FOUND) : NTSTATUS_FROM_WIN32(ERROR_ACCESS_DENIED);
  }
  HostLog("started %s (pid %d) for the service %s", program.c_str(), static_cast<int>(pid), service.c_str());
  std::lock_guard lock(mutex_);
  reapers_.emplace(pid, std::thread(&ServiceProgramLauncher::Reap, this, pid, service));
  *processId = static_cast<ULONG>(pid);
  return STATUS_SUCCESS;
}

void ServiceProgramLauncher::Reap(pid_t pid, std::string name) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFSIGNALED(status)) {
    HostLog("the program of the service %s (pid %d) was killed by signal %d", name.c_str(), static_cast<int>(pid),
            WTERMSIG(status));
  } else {
    HostLog("the program of the service %s (pid %d) ended with %d", name.c_str(), static_cast<int>(pid),
            WEXITSTATUS(status));
  }
  {
    // Waits for the launch to finish recording the process, which holds the manager.
    kernel::KernelScope bound(kernel_);
    kernel_.Services().ProcessEnded(static_cast<ULONG>(pid));
  }
  std::lock_guard lock(mutex_);
  auto found = reapers_.find(pid);
  if (found == reapers_.end()) return;  // the destructor joins it
  finished_.push_back(std::move(found->second));
  reapers_.erase(found);
}

void ServiceProgramLauncher::Terminate(ULONG processId) {
  std::lock_guard lock(mutex_);
  if (reapers_.count(static_cast<pid_t>(processId))) kill(static_cast<pid_t>(processId), SIGKILL);
}

}  // namespace nb::host
