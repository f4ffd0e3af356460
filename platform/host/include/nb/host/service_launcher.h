// The programs of own-process services, started by nbhost as real processes: with no
// arguments beyond the ImagePath's own, NB_ROOT naming the machine, standard output and
// error into the host's log, a process group of their own and no blocked signals. A
// thread per program waits for its end and tells the service manager.
#pragma once

#include <sys/types.h>

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "nb/kernel/kernel.h"
#include "nb/kernel/service_manager.h"

namespace nb::host {

class ServiceProgramLauncher final : public kernel::ServiceLauncher {
 public:
  // Installs itself in the kernel's service manager.
  ServiceProgramLauncher(kernel::Kernel& kernel, std::string root);
  // Uninstalls itself, kills the programs still running and waits for their ends.
  ~ServiceProgramLauncher() override;
  ServiceProgramLauncher(const ServiceProgramLauncher&) = delete;
  ServiceProgramLauncher& operator=(const ServiceProgramLauncher&) = delete;

  [[nodiscard]] NTSTATUS Launch(const std::u16string& name, const std::string& program,
                                const std::vector<std::string>& arguments, ULONG* processId) override;
  void Terminate(ULONG processId) override;

 private:
  void Reap(pid_t pid, std::string name);

  kernel::Kernel& kernel_;
  std::string root_;
  std::mutex mutex_;
  std::map<pid_t, std::thread> reapers_;  // by child, while it may run
  std::vector<std::thread> finished_;     // reapers whose child has ended, to join
};

}  // namespace nb::host
