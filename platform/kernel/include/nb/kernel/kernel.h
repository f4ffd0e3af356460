// The emulated machine's kernel: one instance per process at a time, reached by the
// Windows-style free functions of ntifs.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <ntifs.h>

namespace nb::kernel {

class ObjectNamespace;
class ProcessTable;
class PoolAllocator;
class ObjectReferences;
class SecurityTokens;
class HandleTables;
class SystemClock;
class SystemWorkers;
class IoRegistrations;
class RegistryHive;

class Kernel {
 public:
  Kernel();
  ~Kernel();
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

  // The kernel that the free functions of ntifs.h act on; null when none runs.
  static Kernel* Current();

  ObjectNamespace& Namespace() { return *namespace_; }
  ProcessTable& Processes() { return *processes_; }
  PoolAllocator& Pool() { return *pool_; }
  ObjectReferences& References() { return *references_; }
  SecurityTokens& Tokens() { return *tokens_; }
  HandleTables& Handles() { return *handles_; }
  // I/O timers (Tick is the test hook) and the system worker threads.
  SystemClock& Clock() { return *clock_; }
  SystemWorkers& Workers() { return *workers_; }
  // Registered file systems and the routines that hear of file systems and volumes.
  IoRegistrations& Registrations() { return *registrations_; }
  // The registry; in memory until the host loads its hive file.
  RegistryHive& Registry() { return *registry_; }

  // Creates a driver object and runs its entry point in the System process with the
  // service's registry path. On failure the driver object is destroyed and the status
  // returned.
  NTSTATUS LoadDriver(const std::u16string& name, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* driver,
                      const std::u16string& registryPath = {});
  // Calls the driver's unload routine (when it has one) and destroys the driver object;
  // a driver loaded from its image file (driver_loader.h) releases the image too.
  void UnloadDriver(PDRIVER_OBJECT driver);

 private:
  std::unique_ptr<PoolAllocator> pool_;
  std::unique_ptr<ObjectNamespace> namespace_;
  std::unique_ptr<ProcessTable> processes_;
  std::unique_ptr<ObjectReferences> references_;
  std::unique_ptr<SecurityTokens> tokens_;
  std::unique_ptr<HandleTables> handles_;
  std::unique_ptr<SystemWorkers> workers_;
  std::unique_ptr<SystemClock> clock_;
  std::unique_ptr<IoRegistrations> registrations_;
  std::unique_ptr<RegistryHive> registry_;
};

// Shorthand for Kernel::Current() that asserts one runs.
Kernel& CurrentKernel();

}  // namespace nb::kernel
