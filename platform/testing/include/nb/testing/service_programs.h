// Service programs of an in-process machine: the launcher a test installs in the machine's
// service manager runs each program as a thread acting as a simulated process of its own,
// so StartServiceW, the dispatcher and the controls go their whole way through the
// manager's requests without a real process.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "nb/kernel/kernel.h"
#include "nb/kernel/service_manager.h"

namespace nb::testing {

class ServicePrograms final : public kernel::ServiceLauncher {
 public:
  // The program's main: its arguments; what it returns ends its process.
  using Main = std::function<int(const std::vector<std::string>& arguments)>;

  // Installs itself in the kernel's service manager.
  explicit ServicePrograms(kernel::Kernel& kernel);
  // Uninstalls itself and waits for every program to end.
  ~ServicePrograms() override;
  ServicePrograms(const ServicePrograms&) = delete;
  ServicePrograms& operator=(const ServicePrograms&) = delete;

  // The program that runs for the host file `hostPath` (which must exist for the manager
  // to take the service's ImagePath).
  void Add(const std::string& hostPath, Main main);

  [[nodiscard]] NTSTATUS Launch(const std::u16string& name, const std::string& program,
                                const std::vector<std::string>& arguments, ULONG* processId) override;
  void Terminate(ULONG processId) override;

  // Programs launched so far, and the ones the manager asked to end.
  size_t Launched() const { return launched_.load(); }
  bool Terminated(ULONG processId) const;
  // Waits for a program's process to end; false after `milliseconds`.
  bool WaitEnded(ULONG processId, int milliseconds) const;

 private:
  kernel::Kernel& kernel_;
  mutable std::mutex mutex_;
  mutable std::condition_variable ended_;
  std::map<std::string, Main> programs_;
  std::vector<std::thread> threads_;
  std::vector<ULONG> terminated_;
  std::vector<ULONG> endedProcesses_;
  ULONG nextProcessId_ = 7000;
  std::atomic<size_t> launched_{0};
};

}  // namespace nb::testing
