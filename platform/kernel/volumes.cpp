// The volume manager: arrival and removal of volumes, and the storage devices under them.
#include "nb/kernel/volumes.h"

#include <fcntl.h>
#include <unistd.h>

#include <cassert>
#include <cstdio>

#include "nb/kernel/file_requests.h"
#include "nb/kernel/io.h"
#include "nb/kernel/io_registrations.h"
#include "nb/kernel/kernel.h"
#include "nb/kernel/object_namespace.h"
#include "nb/kernel/process.h"
#include "nb/little_endian.h"
#include "volume_devices.h"

namespace nb::kernel {

struct VolumeManager::Volume {
  int number = 0;
  char letter = 0;
  VolumeType type = VolumeType::kFixed;
  ULONG serial = 0;
  std::u16string deviceName;
  std::u16string letterLink;  // "\DosDevices\X:"
  std::u16string volumeName;  // "\??\Volume{...}"; empty for remote drives
  std::vector<UCHAR> uniqueId;
  PDEVICE_OBJECT storage = nullptr;
  VPB vpb{};
  bool present = true;
  std::string hostFolder;
  std::string mountPath;
  std::string servedAt;
};

namespace {

constexpr ULONG kDefaultSerialBase = 0x4E420000;

std::u16string Ascii(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::u16string LetterLink(char letter) { return u"\\DosDevices\\" + std::u16string(1, char16_t(letter)) + u":"; }

// A volume name of the mount manager's form, made from the volume's serial and number.
std::u16string VolumeNameOf(ULONG serial, int number) {
  char guid[64];
  std::snprintf(guid, sizeof guid, "\\??\\Volume{%08x-%04x-11de-8e42-4e494d425241}", serial,
                static_cast<unsigned>(number & 0xFFFF));
  return Ascii(guid);
}

// A disk volume's unique id is its disk signature and starting offset (12 bytes); a
// CD-ROM's is its device name.
std::vector<UCHAR> UniqueIdOf(VolumeType type, ULONG serial, int number, const std::u16string& deviceName) {
  std::vector<UCHAR> id;
  if (type == VolumeType::kCdRom) {
    const auto* bytes = reinterpret_cast<const UCHAR*>(deviceName.data());
    id.assign(bytes, bytes + deviceName.size() * sizeof(WCHAR));
    return id;
  }
  AppendLittleEndian(id, serial);
  AppendLittleEndian(id, static_cast<ULONGLONG>(number) * 0x100000);
  return id;
}

bool ValidLetter(char letter) { return letter >= 'A' && letter <= 'Z'; }

char Upper(char letter) { return letter >= 'a' && letter <= 'z' ? static_cast<char>(letter - 'a' + 'A') : letter; }

StorageExtension* StorageOf(PDEVICE_OBJECT device) { return static_cast<StorageExtension*>(device->DeviceExtension); }

}  // namespace

VolumeManager::VolumeManager(Kernel& kernel) : kernel_(kernel) {
  KernelScope bound(kernel_);
  [[maybe_unused]] NTSTATUS status = kernel_.LoadDriver(u"\\Driver\\VolumeStorage", StorageDriverEntry, &storageDriver_);
  assert(NT_SUCCESS(status) && "the storage driver loads");
  status = kernel_.LoadDriver(u"\\Driver\\MountMgr", MountManagerDriverEntry, &mountManagerDriver_);
  assert(NT_SUCCESS(status) && "the mount manager loads");
  status = CreateMountManagerDevice(mountManagerDriver_, this);
  assert(NT_SUCCESS(status) && "one volume manager runs per kernel");
}

VolumeManager::~VolumeManager() {
  KernelScope bound(kernel_);
  std::vector<char> present;
  {
    std::lock_guard lock(mutex_);
    for (const auto& volume : volumes_) {
      if (volume->present) present.push_back(volume->letter);
    }
  }
  for (char letter : present) (void)RemoveVolume(letter);
  DeleteMountManagerLink();
  kernel_.UnloadDriver(mountManagerDriver_);
  kernel_.UnloadDriver(storageDriver_);  // the storage devices go with it
}

VolumeManager::Volume* VolumeManager::FindPresent(char letter) const {
  for (const auto& volume : volumes_) {
    if (volume->present && volume->letter == letter) return volume.get();
  }
  return nullptr;
}

std::u16string VolumeManager::NextDeviceName(const char16_t* prefix, int* number) {
  for (;;) {
    std::u16string name = prefix + Ascii(std::to_string((*number)++));
    if (!kernel_.Namespace().Lookup(name, ObjectKind::kDevice) && !kernel_.Namespace().LinkTarget(name)) return name;
  }
}

NTSTATUS VolumeManager::CreateStorage(Volume& volume, const VolumeParameters& parameters) {
  int backing = open(parameters.hostFolder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (backing < 0) return STATUS_OBJECT_PATH_NOT_FOUND;
  bool cdrom = volume.type == VolumeType::kCdRom;
  {
    std::lock_guard lock(mutex_);
    volume.number = nextVolume_++;
    volume.deviceName = cdrom ? NextDeviceName(u"\\Device\\CdRom", &nextCdRom_)
                              : NextDeviceName(u"\\Device\\HarddiskVolume", &nextDisk_);
  }
  volume.serial = parameters.serial ? parameters.serial : kDefaultSerialBase + static_cast<ULONG>(volume.number);
  volume.volumeName = VolumeNameOf(volume.serial, volume.number);
  volume.uniqueId = UniqueIdOf(volume.type, volume.serial, volume.number, volume.deviceName);

  UNICODE_STRING deviceName;
  RtlInitUnicodeString(&deviceName, volume.deviceName.c_str());
  ULONG characteristics = 0;
  if (volume.type != VolumeType::kFixed) characteristics |= FILE_REMOVABLE_MEDIA;
  if (cdrom) characteristics |= FILE_READ_ONLY_DEVICE;
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(storageDriver_, sizeof(StorageExtension), &deviceName,
                                   cdrom ? FILE_DEVICE_CD_ROM : FILE_DEVICE_DISK, characteristics, FALSE, &device);
  if (!NT_SUCCESS(status)) {
    close(backing);
    return status;
  }
  StorageExtension* extension = StorageOf(device);
  extension->medium = HostMedium{kHostMediumSignature, backing, volume.serial};
  extension->redirector = false;
  volume.vpb.Type = 10;
  volume.vpb.Size = sizeof(VPB);
  volume.vpb.RealDevice = device;
  device->Vpb = &volume.vpb;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  volume.storage = device;
  return STATUS_SUCCESS;
}

void VolumeManager::Mount(Volume& volume) {
  ULONG kind = volume.type == VolumeType::kCdRom ? FILE_DEVICE_CD_ROM_FILE_SYSTEM : FILE_DEVICE_DISK_FILE_SYSTEM;
  ProcessScope system(kernel_.Processes().System());
  for (PDEVICE_OBJECT fileSystem : kernel_.Registrations().FileSystems(kind)) {
    // STATUS_UNRECOGNIZED_VOLUME: not this file system's medium, the next one may know it.
    if (NT_SUCCESS(MountVolume(fileSystem, volume.storage))) return;
  }
}

void VolumeManager::Dismount(Volume& volume) {
  ProcessScope system(kernel_.Processes().System());
  PDEVICE_OBJECT mounted = nullptr;
  KIRQL irql;
  IoAcquireVpbSpinLock(&irql);
  if ((volume.vpb.Flags & VPB_MOUNTED) && volume.vpb.DeviceObject) {
    mounted = volume.vpb.DeviceObject;
    ObReferenceObject(mounted);
  }
  IoReleaseVpbSpinLock(irql);
  if (mounted) {
    DeviceReference top(IoGetAttachedDeviceReference(mounted));
    ObDereferenceObject(mounted);
    if (PIRP irp = BuildIrp(top, nullptr, IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL)) {
      irp->RequestorMode = KernelMode;
      irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
      (void)SendAndWait(top, irp, nullptr);
    }
  }
  // The medium is gone: nothing may mount it again.
  StorageExtension* extension = StorageOf(volume.storage);
  if (extension->medium.directoryFd >= 0) close(extension->medium.directoryFd);
  extension->medium = HostMedium{0, -1, 0};
}

NTSTATUS VolumeManager::AddRemote(const VolumeParameters& parameters) {
  if (!redirector_) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\LanmanRedirector");
    NTSTATUS status = IoCreateDevice(storageDriver_, sizeof(StorageExtension), &name, FILE_DEVICE_NETWORK_FILE_SYSTEM,
                                     FILE_REMOTE_DEVICE, FALSE, &redirector_);
    if (!NT_SUCCESS(status)) return status;
    StorageOf(redirector_)->medium = HostMedium{0, -1, 0};
    StorageOf(redirector_)->redirector = true;
    redirector_->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  auto volume = std::make_unique<Volume>();
  volume->letter = Upper(parameters.letter);
  volume->type = VolumeType::kRemote;
  volume->serial = parameters.serial;
  volume->letterLink = LetterLink(volume->letter);
  volume->deviceName =
      u"\\Device\\LanmanRedirector\\;" + std::u16string(1, char16_t(volume->letter)) + u":0" + parameters.share;
  NTSTATUS status = kernel_.Namespace().InsertLink(volume->letterLink, volume->deviceName);
  if (!NT_SUCCESS(status)) return status;
  std::lock_guard lock(mutex_);
  volumes_.push_back(std::move(volume));
  return STATUS_SUCCESS;
}

NTSTATUS VolumeManager::AddVolume(const VolumeParameters& parameters, PDEVICE_OBJECT* storage) {
  KernelScope bound(kernel_);
  if (storage) *storage = nullptr;
  char letter = Upper(parameters.letter);
  if (!ValidLetter(letter)) return STATUS_INVALID_PARAMETER;
  std::lock_guard change(changeMutex_);
  if (kernel_.Namespace().LinkTarget(LetterLink(letter))) return STATUS_OBJECT_NAME_COLLISION;
  if (parameters.type == VolumeType::kRemote) return AddRemote(parameters);

  auto volume = std::make_unique<Volume>();
  volume->letter = letter;
  volume->type = parameters.type;
  volume->letterLink = LetterLink(letter);
  volume->hostFolder = parameters.hostFolder;
  volume->mountPath = parameters.mountPath;
  NTSTATUS status = CreateStorage(*volume, parameters);
  if (!NT_SUCCESS(status)) return status;
  // The names come first, so that whoever hears of the mount finds the drive.
  status = kernel_.Namespace().InsertLink(volume->letterLink, volume->deviceName);
  if (NT_SUCCESS(status)) {
    status = kernel_.Namespace().InsertLink(volume->volumeName, volume->deviceName);
    if (!NT_SUCCESS(status)) (void)kernel_.Namespace().Remove(volume->letterLink);
  }
  if (!NT_SUCCESS(status)) {
    Dismount(*volume);
    IoDeleteDevice(volume->storage);
    return status;
  }
  Mount(*volume);
  Volume* added = volume.get();
  {
    std::lock_guard lock(mutex_);
    volumes_.push_back(std::move(volume));
  }
  kernel_.Registrations().SetInterfaceState(GUID_DEVINTERFACE_VOLUME, added->volumeName, true);
  if (storage) *storage = added->storage;
  return STATUS_SUCCESS;
}

NTSTATUS VolumeManager::RemoveVolume(char letter) {
  KernelScope bound(kernel_);
  letter = Upper(letter);
  std::lock_guard change(changeMutex_);
  Volume* volume;
  {
    std::lock_guard lock(mutex_);
    volume = FindPresent(letter);
    if (!volume) return STATUS_NO_SUCH_DEVICE;
    volume->present = false;
  }
  (void)kernel_.Namespace().Remove(volume->letterLink);
  if (volume->type == VolumeType::kRemote) return STATUS_SUCCESS;
  (void)kernel_.Namespace().Remove(volume->volumeName);
  Dismount(*volume);
  kernel_.Registrations().SetInterfaceState(GUID_DEVINTERFACE_VOLUME, volume->volumeName, false);
  return STATUS_SUCCESS;
}

std::vector<VolumeInfo> VolumeManager::Volumes() const {
  KernelScope bound(kernel_);
  std::lock_guard lock(mutex_);
  std::vector<VolumeInfo> list;
  for (const auto& volume : volumes_) {
    if (!volume->present) continue;
    list.push_back(VolumeInfo{volume->letter, volume->type, volume->serial, volume->deviceName, volume->volumeName,
                              VpbMounted(&volume->vpb), volume->storage, volume->hostFolder, volume->mountPath,
                              volume->servedAt});
  }
  return list;
}

NTSTATUS VolumeManager::SetServedAt(char letter, const std::string& mountPoint) {
  std::lock_guard lock(mutex_);
  Volume* volume = FindPresent(Upper(letter));
  if (!volume) return STATUS_NO_SUCH_DEVICE;
  volume->servedAt = mountPoint;
  return STATUS_SUCCESS;
}

std::string AccessFolderOf(const VolumeInfo& volume) {
  return volume.servedAt.empty() ? volume.hostFolder : volume.servedAt;
}

std::vector<MountPoint> VolumeManager::MountPoints() const {
  std::lock_guard lock(mutex_);
  std::vector<MountPoint> points;
  for (const auto& volume : volumes_) {
    if (!volume->present || volume->type == VolumeType::kRemote) continue;
    points.push_back(MountPoint{volume->volumeName, volume->uniqueId, volume->deviceName});
    points.push_back(MountPoint{volume->letterLink, volume->uniqueId, volume->deviceName});
  }
  return points;
}

// The storage driver.

namespace {

NTSTATUS CompleteStorage(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS StorageDispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE: {
      if (StorageOf(device)->redirector) return CompleteStorage(irp, STATUS_SUCCESS, FILE_OPENED);
      // Without a file system only the volume itself can be opened.
      PFILE_OBJECT file = stack->FileObject;
      bool volumeOpen = file && file->FileName.Length == 0 && !file->RelatedFileObject;
      return volumeOpen ? CompleteStorage(irp, STATUS_SUCCESS, FILE_OPENED)
                        : CompleteStorage(irp, STATUS_UNRECOGNIZED_VOLUME);
    }
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
      return CompleteStorage(irp, STATUS_SUCCESS);
    case IRP_MJ_PNP:
      return CompleteStorage(irp, irp->IoStatus.Status);
    default:
      return CompleteStorage(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

}  // namespace

NTSTATUS StorageDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& routine : driver->MajorFunction) routine = StorageDispatch;
  return STATUS_SUCCESS;
}

}  // namespace nb::kernel
