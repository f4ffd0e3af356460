// The in-process test machine.
#include "nb/testing/machine.h"

#include <cassert>

#include "nb/kernel/driver_loader.h"
#include "nb/kernel/io.h"
#include "nb/kernel/machine_defaults.h"
#include "nb/kernel/object_namespace.h"
#include "nb/kernel/service_manager.h"

namespace nb::testing {

namespace {

NTSTATUS CompleteBare(PDEVICE_OBJECT, PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS BareVolumeDispatch(PDEVICE_OBJECT device, PIRP irp) {
  switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
      return CompleteBare(device, irp, STATUS_SUCCESS);
    default:
      return CompleteBare(device, irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS BareVolumeDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& routine : driver->MajorFunction) routine = BareVolumeDispatch;
  return STATUS_SUCCESS;
}

}  // namespace

Machine::Machine() : volumes_(std::make_unique<host::MachineVolumes>(kernel_)) {
  // The settings of a first boot, in English whatever the host's locale.
  [[maybe_unused]] NTSTATUS seeded = kernel::SeedMachineDefaults(kernel_.Registry(), "C");
  assert(NT_SUCCESS(seeded));
}

Machine::~Machine() {
  kernel::KernelScope bound(kernel_);
  // Drivers that services loaded go first, as the ones loaded here do.
  kernel_.Services().UnloadDrivers();
  for (auto it = drivers_.rbegin(); it != drivers_.rend(); ++it) kernel_.UnloadDriver(*it);
  // The volumes go, then the file system that mounted them.
  volumes_.reset();
  if (bareVolumes_) kernel_.UnloadDriver(bareVolumes_);
}

PDEVICE_OBJECT Machine::AddBareVolume(char letter) {
  kernel::KernelScope bound(kernel_);
  if (!bareVolumes_) {
    [[maybe_unused]] NTSTATUS status = kernel_.LoadDriver(u"\\Driver\\BareVolume", BareVolumeDriverEntry, &bareVolumes_);
    assert(NT_SUCCESS(status));
  }
  std::u16string name;
  do {
    std::string number = std::to_string(nextBareVolume_++);
    name = u"\\Device\\HarddiskVolume" + std::u16string(number.begin(), number.end());
  } while (kernel_.Namespace().Lookup(name, kernel::ObjectKind::kDevice));
  UNICODE_STRING deviceName;
  RtlInitUnicodeString(&deviceName, name.c_str());
  PDEVICE_OBJECT device = nullptr;
  [[maybe_unused]] NTSTATUS status =
      IoCreateDevice(bareVolumes_, 0, &deviceName, FILE_DEVICE_DISK, 0, FALSE, &device);
  assert(NT_SUCCESS(status));
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  std::u16string link = u"\\DosDevices\\" + std::u16string(1, static_cast<char16_t>(letter)) + u":";
  UNICODE_STRING linkName;
  RtlInitUnicodeString(&linkName, link.c_str());
  status = IoCreateSymbolicLink(&linkName, &deviceName);
  assert(NT_SUCCESS(status));
  return device;
}

NTSTATUS Machine::LoadHostFs() { return volumes_->LoadHostFs(); }

NTSTATUS Machine::AddVolume(const kernel::VolumeParameters& parameters, PDEVICE_OBJECT* storage) {
  return volumes_->AddVolume(parameters, storage);
}

NTSTATUS Machine::AddHostVolume(char letter, const std::string& hostDir, bool removable, PDEVICE_OBJECT* storage) {
  kernel::VolumeParameters parameters;
  parameters.letter = letter;
  parameters.type = removable ? kernel::VolumeType::kRemovable : kernel::VolumeType::kFixed;
  parameters.hostFolder = hostDir;
  PDEVICE_OBJECT device;
  NTSTATUS status = AddVolume(parameters, &device);
  if (!NT_SUCCESS(status)) return status;
  if (!device->Vpb || !(device->Vpb->Flags & VPB_MOUNTED)) return STATUS_UNRECOGNIZED_VOLUME;
  if (storage) *storage = device;
  return STATUS_SUCCESS;
}

NTSTATUS Machine::LoadDriver(const std::u16string& name, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* driver) {
  PDRIVER_OBJECT loaded;
  NTSTATUS status = kernel_.LoadDriver(name, entry, &loaded);
  if (NT_SUCCESS(status)) drivers_.push_back(loaded);
  if (driver) *driver = NT_SUCCESS(status) ? loaded : nullptr;
  return status;
}

NTSTATUS Machine::LoadDriverImage(const std::u16string& name, const std::string& imagePath, PDRIVER_OBJECT* driver) {
  kernel::KernelScope bound(kernel_);
  PDRIVER_OBJECT loaded;
  NTSTATUS status = kernel::LoadDriverImage(kernel_, name, imagePath, &loaded);
  if (NT_SUCCESS(status)) drivers_.push_back(loaded);
  if (driver) *driver = NT_SUCCESS(status) ? loaded : nullptr;
  return status;
}

void Machine::UnloadDriver(PDRIVER_OBJECT driver) {
  std::erase(drivers_, driver);
  kernel_.UnloadDriver(driver);
}

PEPROCESS Machine::Process(const std::string& imageName, ULONG id) {
  return kernel_.Processes().Get(id, imageName);
}

NTSTATUS Machine::DeviceControl(const std::u16string& device, ULONG code, const void* input, ULONG inputLength,
                                void* output, ULONG outputLength, ULONG* returned, PEPROCESS as) {
  kernel::KernelScope bound(kernel_);
  kernel::ProcessScope scope(as ? as : kernel::CurrentProcess());
  PFILE_OBJECT file;
  NTSTATUS status = kernel::OpenFile(device, kernel::OpenParameters{}, &file);
  if (!NT_SUCCESS(status)) return status;
  status = kernel::DeviceControl(file, code, input, inputLength, output, outputLength, returned);
  kernel::CloseFile(file);
  return status;
}

}  // namespace nb::testing
