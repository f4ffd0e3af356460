// The emulated machine's kernel, reached by the Windows-style free functions of ntifs.h.
// Every piece of its state lives in the instance, so that several kernels can run side by
// side in one process sharing nothing; a thread acts on the kernel it is bound to.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
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
class VolumeService;
class ServiceManager;

class Kernel {
 public:
  Kernel();
  ~Kernel();
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

  // The kernel that the free functions of ntifs.h act on: the one the calling thread is
  // bound to (KernelScope; a kernel binds the thread that constructs it and its own
  // threads), else the only kernel running; null when none runs or several could be meant.
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
  // The service control manager, over the hive's services; it goes first when the kernel
  // does, unloading the drivers its services loaded.
  ServiceManager& Services() { return *services_; }

  // Guards the attachment links of all device stacks, the drivers' device lists, the
  // devices' delete-pending marks and the VPBs' device links (the VPB lock). Taken
  // before the reference lock (References()); no driver routine is called under it.
  std::mutex& DeviceTreeLock() { return deviceTreeLock_; }
  // Guards every dispatcher header and wait block, as the dispatcher database lock does.
  std::mutex& DispatcherLock() { return dispatcherLock_; }
  // The mutants owned at this moment, linked by KMUTANT::MutantListEntry; guarded by the
  // dispatcher lock. Abandoning scans it when an owner goes away.
  LIST_ENTRY& OwnedMutants() { return ownedMutants_; }
  // Serialises finding a named event or mutant with referencing it, against removing the
  // name of one whose last reference has gone. Taken before the reference lock.
  std::mutex& NamedObjectsLock() { return namedObjectsLock_; }
  // The Linux user that made each mutant whose maker was told (mutants.h); guarded by the
  // named-objects lock, and an entry goes with its mutant.
  std::map<const void*, uint32_t>& MutantCreators() { return mutantCreators_; }
  // The driver images this kernel's drivers run from (driver_loader.h). AddImage fails
  // when a driver of any kernel in the process runs from the image already: the dynamic
  // linker loads an image once per process, globals and all.
  [[nodiscard]] bool AddImage(void* image);
  void RemoveImage(void* image);

  // The administration of the machine's volumes, installed by their owner (null removes
  // it; removing waits for the calls that use it). CallVolumeService runs `call` with the
  // installed one, STATUS_NO_SUCH_DEVICE when there is none.
  void SetVolumeService(VolumeService* service);
  template <typename Call>
  NTSTATUS CallVolumeService(Call call) {
    std::shared_lock lock(volumeServiceLock_);
    if (!volumeService_) return STATUS_NO_SUCH_DEVICE;
    return call(*volumeService_);
  }

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
  std::unique_ptr<ServiceManager> services_;
  std::mutex deviceTreeLock_;
  std::mutex dispatcherLock_;
  LIST_ENTRY ownedMutants_;
  std::mutex namedObjectsLock_;
  std::map<const void*, uint32_t> mutantCreators_;
  std::mutex imagesLock_;
  std::set<void*> images_;
  std::shared_mutex volumeServiceLock_;
  VolumeService* volumeService_ = nullptr;
  Kernel* previousBinding_;  // of the constructing thread
};

// Binds the calling thread to a kernel for the enclosing scope, restoring the previous
// binding at its end.
class KernelScope {
 public:
  explicit KernelScope(Kernel& kernel);
  ~KernelScope();
  KernelScope(const KernelScope&) = delete;
  KernelScope& operator=(const KernelScope&) = delete;

 private:
  Kernel* previous_;
};

// Shorthand for Kernel::Current() that asserts one runs.
Kernel& CurrentKernel();

}  // namespace nb::kernel
