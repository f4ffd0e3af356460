// The machine's service control manager. Services are kept in the hive under
// \Registry\Machine\SYSTEM\CurrentControlSet\Services\NAME (Type, Start, ErrorControl,
// ImagePath, DisplayName); what runs is kept here. A kernel-driver service loads its image
// into this kernel; an own-process service's program is started by the launcher its
// owner installs, and its dispatcher then asks for commands (the start, the controls) and
// reports states. Handles to the manager and to services belong to the process that opened
// them, as registry key handles do. Failures are NTSTATUS_FROM_WIN32 of the Win32 errors the
// service manager gives, or NT statuses where Windows passes those on.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <ntifs.h>

#include "nb/kernel/service_rules.h"

namespace nb::kernel {

class Kernel;

// Starts service programs. Whoever owns the machine's processes installs one: nbhost
// spawns real programs, a test runs threads that stand in for them.
class ServiceLauncher {
 public:
  virtual ~ServiceLauncher() = default;
  // Starts `program` (a host path) with `arguments` for the service `name` and gives its
  // process id. The launcher tells the manager when that process ends (ProcessEnded), never
  // before Launch has returned.
  [[nodiscard]] virtual NTSTATUS Launch(const std::u16string& name, const std::string& program,
                                        const std::vector<std::string>& arguments, ULONG* processId) = 0;
  // Ends a process it launched that did not stop when asked.
  virtual void Terminate(ULONG processId) = 0;
};

// SERVICE_STATUS_PROCESS.
struct ServiceStatus {
  ULONG serviceType = 0;
  ULONG currentState = 0;
  ULONG controlsAccepted = 0;
  ULONG win32ExitCode = 0;
  ULONG serviceSpecificExitCode = 0;
  ULONG checkPoint = 0;
  ULONG waitHint = 0;
  ULONG processId = 0;
  ULONG serviceFlags = 0;
};

// Who sends a request: the Linux user it runs as (changes need root) and its process.
struct ServiceCaller {
  uint32_t uid = 0;
  ULONG processId = 0;
};

// A handle of the manager, valid for the process that opened it; never 0.
using ServiceHandle = uint32_t;

// What a service program's dispatcher is to do next (protocol::ServiceCommand).
struct DispatcherCommand {
  enum class Kind : uint8_t { kNone = 0, kStart = 1, kControl = 2, kExit = 3 };
  Kind kind = Kind::kNone;
  uint64_t sequence = 0;
  ULONG control = 0;
  std::vector<std::u16string> arguments;
};

class ServiceManager {
 public:
  // The services' key, below \Registry\Machine.
  static constexpr std::u16string_view kServicesKey = u"SYSTEM\\CurrentControlSet\\Services";

  explicit ServiceManager(Kernel& kernel);
  // Unloads the drivers its services loaded.
  ~ServiceManager();
  ServiceManager(const ServiceManager&) = delete;
  ServiceManager& operator=(const ServiceManager&) = delete;

  // Installs the launcher of service programs (null: none can start). Removing it
  // forgets the processes it launched.
  void SetLauncher(ServiceLauncher* launcher);
  // How long StartService waits for a program's dispatcher to take the start, and
  // ControlService for a handler to run a control.
  void SetTimeouts(std::chrono::milliseconds start, std::chrono::milliseconds control);

  // The client side (OpenSCManagerW ... CloseServiceHandle).
  [[nodiscard]] NTSTATUS OpenManager(const ServiceCaller& caller, ACCESS_MASK desired, ServiceHandle* handle);
  [[nodiscard]] NTSTATUS CreateService(const ServiceCaller& caller, ServiceHandle manager, std::u16string_view name,
                                       const ServiceConfig& config, ACCESS_MASK desired, ServiceHandle* handle);
  [[nodiscard]] NTSTATUS OpenService(const ServiceCaller& caller, ServiceHandle manager, std::u16string_view name,
                                     ACCESS_MASK desired, ServiceHandle* handle);
  [[nodiscard]] NTSTATUS DeleteService(const ServiceCaller& caller, ServiceHandle service);
  [[nodiscard]] NTSTATUS StartService(const ServiceCaller& caller, ServiceHandle service,
                                      const std::vector<std::u16string>& arguments);
  [[nodiscard]] NTSTATUS ControlService(const ServiceCaller& caller, ServiceHandle service, ULONG control,
                                        ServiceStatus* status);
  [[nodiscard]] NTSTATUS QueryStatus(const ServiceCaller& caller, ServiceHandle service, ServiceStatus* status);
  [[nodiscard]] NTSTATUS CloseHandle(ULONG processId, ServiceHandle handle);
  size_t OpenHandleCount() const;

  // The service program's side. The dispatcher of the process the manager started for a
  // service named in `names` connects (ERROR_FAILED_SERVICE_CONTROLLER_CONNECT for any
  // other process) and learns which service it runs.
  [[nodiscard]] NTSTATUS ConnectDispatcher(ULONG processId, const std::vector<std::u16string>& names,
                                           std::u16string* name);
  // Acknowledges the control of sequence `acknowledged` (0: none) and waits up to
  // `timeout` for the next command.
  [[nodiscard]] NTSTATUS WaitCommand(ULONG processId, std::u16string_view name, uint64_t acknowledged,
                                     std::chrono::milliseconds timeout, DispatcherCommand* command);
  // SetServiceStatus: ERROR_INVALID_HANDLE when the process does not run the service,
  // ERROR_INVALID_DATA for a state outside 1..7.
  [[nodiscard]] NTSTATUS SetStatus(ULONG processId, std::u16string_view name, const ServiceStatus& status);
  // A launched process has ended: its service is stopped (ERROR_PROCESS_ABORTED when it
  // had not said so itself).
  void ProcessEnded(ULONG processId);

  // The machine's own doings, in the System process's name. Each result is reported to
  // `log` as one line.
  using Log = std::function<void(const std::string& line)>;
  // Loads the drivers whose Start is 0 or 1.
  void StartBootDrivers(const Log& log);
  // Starts the services, drivers and programs, whose Start is 2.
  void StartAutoServices(const Log& log);
  // Sends SERVICE_CONTROL_SHUTDOWN to every running program that accepts it and waits up
  // to `wait` for them to stop and their processes to end (a dispatcher returns once its
  // service has stopped); the programs still running then are terminated.
  void ShutdownServices(std::chrono::milliseconds wait, const Log& log);
  // Unloads every driver its services loaded, last loaded first.
  void UnloadDrivers();

 private:
  struct Runtime;
  struct OpenHandle {
    ULONG owner = 0;
    ACCESS_MASK granted = 0;
    std::shared_ptr<Runtime> service;  // null for a manager handle
  };

  // The handle of `caller` with `right`; mutex_ is held.
  [[nodiscard]] NTSTATUS Lookup(const ServiceCaller& caller, ServiceHandle handle, bool manager, ACCESS_MASK right,
                                OpenHandle** entry);
  [[nodiscard]] NTSTATUS Insert(OpenHandle entry, ServiceHandle* handle);
  std::shared_ptr<Runtime> RuntimeOf(const std::u16string& storedName);
  // Reads a service's configuration from the hive; ERROR_SERVICE_DOES_NOT_EXIST when the
  // key is missing or holds no service. `storedName` gets the key's own spelling.
  [[nodiscard]] NTSTATUS ReadConfig(std::u16string_view name, ServiceConfig* config, std::u16string* storedName);
  [[nodiscard]] NTSTATUS WriteConfig(std::u16string_view name, const ServiceConfig& config);
  std::vector<std::u16string> ServiceNames();
  // Removes a service marked for deletion once it is stopped and unused; mutex_ is held.
  void CollectDeleted(const std::shared_ptr<Runtime>& runtime);
  // Starts a service; `lock` holds mutex_ and is released while drivers load or a
  // program's dispatcher is awaited.
  [[nodiscard]] NTSTATUS Start(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Runtime>& runtime,
                               const std::vector<std::u16string>& arguments);
  [[nodiscard]] NTSTATUS StartDriver(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Runtime>& runtime,
                                     const ServiceConfig& config);
  [[nodiscard]] NTSTATUS StartProgram(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Runtime>& runtime,
                                      const ServiceConfig& config, const std::vector<std::u16string>& arguments);
  // Sends a control to a started service and waits for its handler; mutex_ held by `lock`.
  [[nodiscard]] NTSTATUS Control(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Runtime>& runtime,
                                 ULONG control, bool fromMachine);
  void MarkStopped(Runtime& runtime, ULONG exitCode);
  // The host path of a program or image named by an ImagePath; `forDriver` reads the
  // volume's backing folder (the kernel loads its images itself), else the folder where
  // processes reach its files.
  [[nodiscard]] NTSTATUS ResolveImage(const std::u16string& imagePath, bool forDriver, std::string* hostPath,
                                      std::vector<std::string>* arguments);
  void StartMatching(const Log& log, const std::function<bool(const ServiceConfig&)>& matches);

  Kernel& kernel_;
  // Lock order: mutex_, then the hive's; no driver routine and no wait runs under it.
  mutable std::mutex mutex_;
  std::condition_variable changed_;  // a state, a command or an acknowledgement changed
  ServiceLauncher* launcher_ = nullptr;
  std::chrono::milliseconds startTimeout_{30000};
  std::chrono::milliseconds controlTimeout_{30000};
  std::map<ServiceHandle, OpenHandle> handles_;
  ServiceHandle nextHandle_ = 4;
  std::map<std::u16string, std::shared_ptr<Runtime>> runtimes_;  // by folded name
  std::vector<std::shared_ptr<Runtime>> loadOrder_;                // drivers, as loaded
  std::set<ULONG> livePrograms_;  // processes launched that have not ended
};

}  // namespace nb::kernel
