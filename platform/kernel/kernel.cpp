// The kernel instance and driver loading.
#include "nb/kernel/kernel.h"

#include <cassert>

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

namespace nb::kernel {

namespace {
std::atomic<Kernel*> current{nullptr};
}

Kernel::Kernel()
    : pool_(std::make_unique<PoolAllocator>()), namespace_(std::make_unique<ObjectNamespace>()) {
  Kernel* expected = nullptr;
  [[maybe_unused]] bool installed = current.compare_exchange_strong(expected, this);
  assert(installed && "only one kernel runs in a process at a time");
  processes_ = std::make_unique<ProcessTable>();
  references_ = std::make_unique<ObjectReferences>();
  tokens_ = std::make_unique<SecurityTokens>();
  handles_ = std::make_unique<HandleTables>();
  workers_ = std::make_unique<SystemWorkers>();
  clock_ = std::make_unique<SystemClock>(*workers_);
  registrations_ = std::make_unique<IoRegistrations>();
  registry_ = std::make_unique<RegistryHive>();
}

Kernel::~Kernel() {
  SetCurrentProcess(nullptr);
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
  current.store(nullptr);
}

Kernel* Kernel::Current() { return current.load(); }

Kernel& CurrentKernel() {
  Kernel* kernel = current.load();
  assert(kernel && "no kernel is running");
  return *kernel;
}

NTSTATUS Kernel::LoadDriver(const std::u16string& name, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* driver,
                            const std::u16string& registryPath) {
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
  if (image) ReleaseDriverImage(image);
}

}  // namespace nb::kernel
