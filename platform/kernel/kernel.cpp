// The kernel instance and driver loading.
#include "nb/kernel/kernel.h"

#include <cassert>
#include <set>

#include "nb/kernel/clock.h"
#include "nb/kernel/driver_loader.h"
#include "nb/kernel/handles.h"
#include "nb/kernel/io_registrations.h"
#include "nb/kernel/object_namespace.h"
#include "nb/kernel/object_references.h"
#include "nb/kernel/pool.h"
#include "nb/kernel/process.h"
#include "nb/kernel/registry.h"
#include "nb/kernel/security.h"
#include "nb/kernel/service_manager.h"

namespace nb::kernel {

namespace {

// Which kernel a thread acts on. Not kernel state: only the routing of free functions.
thread_local Kernel* boundKernel = nullptr;

// The kernels running in this process, so that a thread bound to none still finds the
// kernel when there is exactly one.
class RunningKernels {
 public:
  void Add(Kernel* kernel) {
    std::lock_guard lock(mutex_);
    running_.insert(kernel);
    sole_.store(running_.size() == 1 ? *running_.begin() : nullptr);
  }
  void Remove(Kernel* kernel) {
    std::lock_guard lock(mutex_);
    running_.erase(kernel);
    sole_.store(running_.size() == 1 ? *running_.begin() : nullptr);
  }
  Kernel* Sole() const { return sole_.load(); }
  // The dynamic linker loads an image once per process, so its globals would be shared by
  // every kernel running a driver from it: an image serves one driver of one kernel.
  template <typename HasImage, typename Insert>
  bool AddImage(HasImage hasImage, Insert insert) {
    std::lock_guard lock(mutex_);
    for (Kernel* kernel : running_) {
      if (hasImage(kernel)) return false;
    }
    insert();
    return true;
  }

 private:
  std::mutex mutex_;
  std::set<Kernel*> running_;
  std::atomic<Kernel*> sole_{nullptr};
};

RunningKernels& Running() {
  static RunningKernels running;
  return running;
}

}  // namespace

KernelScope::KernelScope(Kernel& kernel) : previous_(boundKernel) { boundKernel = &kernel; }

KernelScope::~KernelScope() { boundKernel = previous_; }

Kernel::Kernel()
    : pool_(std::make_unique<PoolAllocator>()),
      namespace_(std::make_unique<ObjectNamespace>()),
      previousBinding_(boundKernel) {
  InitializeListHead(&ownedMutants_);
  Running().Add(this);
  boundKernel = this;
  processes_ = std::make_unique<ProcessTable>();
  references_ = std::make_unique<ObjectReferences>();
  tokens_ = std::make_unique<SecurityTokens>();
  handles_ = std::make_unique<HandleTables>();
  workers_ = std::make_unique<SystemWorkers>(*this);
  clock_ = std::make_unique<SystemClock>(*this, *workers_);
  registrations_ = std::make_unique<IoRegistrations>();
  registry_ = std::make_unique<RegistryHive>();
  services_ = std::make_unique<ServiceManager>(*this);
  // "\\.\Global\NAME" names the same device as "\\.\NAME": one session, one namespace.
  (void)namespace_->InsertLink(u"\\DosDevices\\Global", u"\\DosDevices");
}

Kernel::~Kernel() {
  {
    KernelScope bound(*this);
    SetCurrentProcess(nullptr);
    services_.reset();
    // No timer or work item runs once the kernel goes; open handles drop their objects.
    clock_.reset();
    workers_.reset();
    handles_->CloseAll();
    handles_.reset();
    registry_.reset();
    registrations_.reset();
    references_.reset();
    tokens_.reset();
    processes_.reset();
  }
  Running().Remove(this);
  if (boundKernel == this) boundKernel = previousBinding_;
}

Kernel* Kernel::Current() { return boundKernel ? boundKernel : Running().Sole(); }

Kernel& CurrentKernel() {
  Kernel* kernel = Kernel::Current();
  assert(kernel && "no kernel is running, or several are and the thread is bound to none");
  return *kernel;
}

void Kernel::SetVolumeService(VolumeService* service) {
  std::unique_lock lock(volumeServiceLock_);
  volumeService_ = service;
}

bool Kernel::AddImage(void* image) {
  return Running().AddImage(
      [image](Kernel* kernel) {
        std::lock_guard lock(kernel->imagesLock_);
        return kernel->images_.count(image) != 0;
      },
      [&] {
        std::lock_guard lock(imagesLock_);
        images_.insert(image);
      });
}

void Kernel::RemoveImage(void* image) {
  std::lock_guard lock(imagesLock_);
  images_.erase(image);
}

NTSTATUS Kernel::LoadDriver(const std::u16string& name, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* driver,
                            const std::u16string& registryPath) {
  KernelScope bound(*this);
  *driver = nullptr;
  auto* object = new DRIVER_OBJECT{};
  object->Type = 4;
  object->Size = sizeof(DRIVER_OBJECT);
  auto* nameBuffer = new WCHAR[name.size() + 1];
  std::memcpy(nameBuffer, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
  RtlInitUnicodeString(&object->DriverName, nameBuffer);
  object->DriverInit = entry;
  // Until a driver says otherwise every request is refused.
  for (auto& dispatch : object->MajorFunction) {
    dispatch = [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
      irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
      irp->IoStatus.Information = 0;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_INVALID_DEVICE_REQUEST;
    };
  }
  NTSTATUS status;
  {
    ProcessScope system(processes_->System());
    UNICODE_STRING registryKey{};
    registryKey.Buffer = const_cast<PWSTR>(registryPath.c_str());
    registryKey.Length = static_cast<USHORT>(registryPath.size() * sizeof(WCHAR));
    registryKey.MaximumLength = static_cast<USHORT>(registryKey.Length + sizeof(WCHAR));
    status = entry(object, &registryKey);
  }
  if (!NT_SUCCESS(status)) {
    delete[] nameBuffer;
    delete object;
    return status;
  }
  *driver = object;
  return status;
}

void Kernel::UnloadDriver(PDRIVER_OBJECT driver) {
  KernelScope bound(*this);
  {
    ProcessScope system(processes_->System());
    if (driver->DriverUnload) driver->DriverUnload(driver);
  }
  // Whatever devices the driver left behind go with it.
  while (PDEVICE_OBJECT device = driver->DeviceObject) {
    if (device->AttachedTo) IoDetachDevice(device->AttachedTo);
    if (device->AttachedDevice) IoDetachDevice(device);
    IoDeleteDevice(device);
  }
  void* image = driver->DriverSection;
  delete[] driver->DriverName.Buffer;
  delete driver;
  if (image) ReleaseDriverImage(*this, image);
}

}  // namespace nb::kernel
