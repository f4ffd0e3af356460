// The in-process test machine.
#include "nb/testing/machine.h"

#include <cassert>
#include <fcntl.h>
#include <unistd.h>

#include "nb/hostfs/hostfs.h"
#include "nb/kernel/file_requests.h"
#include "nb/kernel/io.h"
#include "nb/kernel/object_namespace.h"

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

// Storage devices of host-backed volumes take no requests of their own: every request
// goes to the file system mounted on them.
NTSTATUS HostStorageEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& routine : driver->MajorFunction) {
    routine = [](PDEVICE_OBJECT device, PIRP irp) { return CompleteBare(device, irp, STATUS_INVALID_DEVICE_REQUEST); };
  }
  return STATUS_SUCCESS;
}

}  // namespace

Machine::Machine() = default;

Machine::~Machine() {
  for (auto it = drivers_.rbegin(); it != drivers_.rend(); ++it) kernel_.UnloadDriver(*it);
  // The file system goes before the storage its volumes are mounted on.
  if (hostFs_) kernel_.UnloadDriver(hostFs_);
  if (hostStorage_) kernel_.UnloadDriver(hostStorage_);
  if (bareVolumes_) kernel_.UnloadDriver(bareVolumes_);
  for (int fd : backingFds_) close(fd);
}

std::u16string Machine::NextVolumeName() {
  std::string number = std::to_string(nextVolume_++);
  return u"\\Device\\HarddiskVolume" + std::u16string(number.begin(), number.end());
}

PDEVICE_OBJECT Machine::AddBareVolume(char letter) {
  if (!bareVolumes_) {
    [[maybe_unused]] NTSTATUS status = kernel_.LoadDriver(u"\\Driver\\BareVolume", BareVolumeDriverEntry, &bareVolumes_);
    assert(NT_SUCCESS(status));
  }
  std::u16string name = NextVolumeName();
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

NTSTATUS Machine::AddHostVolume(char letter, const std::string& hostDir, bool removable, PDEVICE_OBJECT* storage) {
  if (storage) *storage = nullptr;
  NTSTATUS status = STATUS_SUCCESS;
  if (!hostFs_) status = kernel_.LoadDriver(nb::hostfs::kDriverName, nb::hostfs::DriverEntry, &hostFs_);
  if (NT_SUCCESS(status) && !hostStorage_)
    status = kernel_.LoadDriver(u"\\Driver\\HostStorage", HostStorageEntry, &hostStorage_);
  if (!NT_SUCCESS(status)) return status;

  int backing = open(hostDir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (backing < 0) return STATUS_OBJECT_PATH_NOT_FOUND;
  backingFds_.push_back(backing);
  std::u16string name = NextVolumeName();
  UNICODE_STRING deviceName;
  RtlInitUnicodeString(&deviceName, name.c_str());
  PDEVICE_OBJECT device;
  status = IoCreateDevice(hostStorage_, sizeof(nb::hostfs::HostStorage), &deviceName, FILE_DEVICE_DISK,
                          removable ? FILE_REMOVABLE_MEDIA : 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  auto* backingStore = static_cast<nb::hostfs::HostStorage*>(device->DeviceExtension);
  backingStore->signature = nb::hostfs::kHostStorageSignature;
  backingStore->directoryFd = backing;
  backingStore->serialNumber = 0x4E420000u + static_cast<ULONG>(nextVolume_);
  auto vpb = std::make_unique<VPB>();
  vpb->Type = 10;
  vpb->Size = sizeof(VPB);
  vpb->RealDevice = device;
  device->Vpb = vpb.get();
  vpbs_.push_back(std::move(vpb));
  device->Flags &= ~DO_DEVICE_INITIALIZING;

  auto* fileSystem = static_cast<PDEVICE_OBJECT>(kernel_.Namespace().Lookup(
      removable ? nb::hostfs::kRemovableControlName : nb::hostfs::kFixedControlName, kernel::ObjectKind::kDevice));
  if (!fileSystem) return STATUS_NO_SUCH_DEVICE;
  {
    kernel::ProcessScope system(kernel_.Processes().System());
    status = kernel::MountVolume(fileSystem, device);
  }
  if (!NT_SUCCESS(status)) return status;
  std::u16string link = u"\\DosDevices\\" + std::u16string(1, static_cast<char16_t>(letter)) + u":";
  UNICODE_STRING linkName;
  RtlInitUnicodeString(&linkName, link.c_str());
  status = IoCreateSymbolicLink(&linkName, &deviceName);
  if (NT_SUCCESS(status) && storage) *storage = device;
  return status;
}

NTSTATUS Machine::LoadDriver(const std::u16string& name, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* driver) {
  PDRIVER_OBJECT loaded;
  NTSTATUS status = kernel_.LoadDriver(name, entry, &loaded);
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
  kernel::ProcessScope scope(as ? as : kernel::CurrentProcess());
  PFILE_OBJECT file;
  NTSTATUS status = kernel::OpenFile(device, kernel::OpenParameters{}, &file);
  if (!NT_SUCCESS(status)) return status;
  status = kernel::DeviceControl(file, code, input, inputLength, output, outputLength, returned);
  kernel::CloseFile(file);
  return status;
}

}  // namespace nb::testing
