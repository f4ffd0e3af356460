// Service programs as threads acting as simulated processes.
#include "nb/testing/service_programs.h"

#include <algorithm>
#include <chrono>

#include "nb/kernel/process.h"

namespace nb::testing {

ServicePrograms::ServicePrograms(kernel::Kernel& kernel) : kernel_(kernel) { kernel_.Services().SetLauncher(this); }

ServicePrograms::~ServicePrograms() {
  kernel_.Services().SetLauncher(nullptr);
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    threads.swap(threads_);
  }
  for (std::thread& thread : threads) thread.join();
}

void ServicePrograms::Add(const std::string& hostPath, Main main) {
  std::lock_guard lock(mutex_);
  programs_[hostPath] = std::move(main);
}

NTSTATUS ServicePrograms::Launch(const std::u16string&, const std::string& program,
                                 const std::vector<std::string>& arguments, ULONG* processId) {
  std::lock_guard lock(mutex_);
  auto found = programs_.find(program);
  if (found == programs_.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  ULONG id = nextProcessId_;
  nextProcessId_ += 4;
  std::string image = program.substr(program.rfind('/') + 1);
  if (image.find('.') == std::string::npos) image += ".exe";
  PEPROCESS process = kernel_.Processes().Get(id, image);
  Main main = found->second;
  kernel::Kernel* kernel = &kernel_;
  threads_.emplace_back([this, kernel, process, id, main, arguments] {
    {
      kernel::KernelScope bound(*kernel);
      kernel::ProcessScope scope(process);
      main(arguments);
      kernel->Services().ProcessEnded(id);
    }
    std::lock_guard lock(mutex_);
    endedProcesses_.push_back(id);
    ended_.notify_all();
  });
  ++launched_;
  *processId = id;
  return STATUS_SUCCESS;
}

void ServicePrograms::Terminate(ULONG processId) {
  // A thread cannot be killed: the manager already takes the process for gone.
  std::lock_guard lock(mutex_);
  terminated_.push_back(processId);
}

bool ServicePrograms::Terminated(ULONG processId) const {
  std::lock_guard lock(mutex_);
  return std::count(terminated_.begin(), terminated_.end(), processId) != 0;
}

bool ServicePrograms::WaitEnded(ULONG processId, int milliseconds) const {
  std::unique_lock lock(mutex_);
  return ended_.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] {
    return std::count(endedProcesses_.begin(), endedProcesses_.end(), processId) != 0;
  });
}

}  // namespace nb::testing
