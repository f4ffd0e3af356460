// The machine's volumes and their administration.
#include "nb/host/machine_volumes.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>

#include "nb/hostfs/hostfs.h"
#include "nb/machine_defaults.h"
#include "nb/text.h"
#include "volume_records.h"

namespace nb::host {

namespace {

namespace fs = std::filesystem;

// The system drive holds the Windows folder: it never goes away while the machine runs.
constexpr char kSystemDrive = 'C';

char Upper(char letter) { return letter >= 'a' && letter <= 'z' ? static_cast<char>(letter - 'a' + 'A') : letter; }
bool ValidLetter(char letter) { return letter >= 'A' && letter <= 'Z'; }

std::string Ascii(std::u16string_view text) { return nb::text::Utf16ToUtf8(text); }

// "C:\Program Files" as "Program Files", "%SystemRoot%\TEMP" with the Windows folder's
// value; empty for what is not a folder of drive C:.
std::string FolderOnDriveC(std::u16string_view value, std::u16string_view systemRoot) {
  std::u16string text(value);
  constexpr std::u16string_view kSystemRootVariable = u"%SystemRoot%";
  if (text.starts_with(kSystemRootVariable)) text = std::u16string(systemRoot) + text.substr(kSystemRootVariable.size());
  if (!text.starts_with(u"C:\\") || text.size() == 3) return {};
  std::string folder = Ascii(text.substr(3));
  std::replace(folder.begin(), folder.end(), '\\', '/');
  return folder;
}

// A folder must be valid UTF-8 to be kept in the hive's UTF-16 values unchanged.
bool RoundTrips(const std::string& path) { return nb::text::Utf16ToUtf8(nb::text::Utf8ToUtf16(path)) == path; }

// The absolute, normalised form of a host path; false for a relative or unusable one.
bool NormalisePath(const std::string& path, std::string* normal) {
  if (path.empty() || path[0] != '/' || path.size() > kernel::kMaxVolumePathBytes || !RoundTrips(path)) return false;
  std::string text = fs::path(path).lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  *normal = text;
  return true;
}

// The folder a volume is made from, symbolic links resolved, so that one folder has one
// name when an insertion looks for it.
NTSTATUS ResolveFolder(const std::string& path, std::string* folder) {
  std::string normal;
  if (!NormalisePath(path, &normal)) {
    return path.size() > kernel::kMaxVolumePathBytes ? STATUS_NAME_TOO_LONG : STATUS_INVALID_PARAMETER;
  }
  std::error_code error;
  fs::path resolved = fs::canonical(normal, error);
  if (error || !fs::is_directory(resolved, error)) return STATUS_OBJECT_PATH_NOT_FOUND;
  *folder = resolved.string();
  if (folder->size() > kernel::kMaxVolumePathBytes) return STATUS_NAME_TOO_LONG;
  return STATUS_SUCCESS;
}

std::string StatusText(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

kernel::VolumeParameters ParametersOf(const VolumeRecord& record, char letter) {
  kernel::VolumeParameters parameters;
  parameters.letter = letter;
  parameters.type = record.type;
  parameters.serial = record.serial;
  parameters.hostFolder = record.folder;
  parameters.mountPath = record.overmount ? record.folder : record.mountPath;
  return parameters;
}

}  // namespace

std::vector<std::string> SystemTreeFolders(const std::vector<std::string>& profileNames) {
  std::u16string_view systemRoot;
  for (const machine::EnvironmentDefault& variable : machine::kEnvironmentDefaults) {
    if (variable.name == u"SystemRoot") systemRoot = variable.value;
  }
  std::vector<std::string> folders;
  auto addWithParents = [&folders](const std::string& folder) {
    for (size_t slash = folder.find('/'); slash != std::string::npos; slash = folder.find('/', slash + 1)) {
      std::string parent = folder.substr(0, slash);
      if (std::find(folders.begin(), folders.end(), parent) == folders.end()) folders.push_back(parent);
    }
    if (std::find(folders.begin(), folders.end(), folder) == folders.end()) folders.push_back(folder);
  };
  for (const machine::EnvironmentDefault& variable : machine::kEnvironmentDefaults) {
    std::string folder = FolderOnDriveC(variable.value, systemRoot);
    if (!folder.empty()) addWithParents(folder);
  }
  std::string profiles = FolderOnDriveC(machine::kProfilesFolder, systemRoot);
  for (const std::string& name : profileNames) {
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") continue;
    addWithParents(profiles + "/" + name + "/Recent");
  }
  return folders;
}

MachineVolumes::MachineVolumes(kernel::Kernel& kernel)
    : kernel_(kernel), manager_(std::make_unique<kernel::VolumeManager>(kernel)) {
  kernel_.SetVolumeService(this);
}

MachineVolumes::~MachineVolumes() {
  kernel_.SetVolumeService(nullptr);
  WithdrawAll();
  kernel::KernelScope bound(kernel_);
  // Volumes go before the file system that mounted them.
  manager_.reset();
  if (hostFs_) kernel_.UnloadDriver(hostFs_);
}

void MachineVolumes::SetFrontEnd(VolumeFrontEnd* frontEnd) {
  std::lock_guard lock(mutex_);
  frontEnd_ = frontEnd;
}

void MachineVolumes::WithdrawAll() {
  kernel::KernelScope bound(kernel_);
  std::lock_guard lock(mutex_);
  std::set<char> letters = served_;
  for (char letter : letters) WithdrawLocked(letter);
  frontEnd_ = nullptr;
}

void MachineVolumes::ServeLocked(char letter) {
  if (!frontEnd_) return;
  for (const kernel::VolumeInfo& volume : manager_->Volumes()) {
    if (volume.letter != letter || volume.hostFolder.empty()) continue;
    std::string mountPoint = frontEnd_->Serve(volume);
    if (mountPoint.empty()) continue;  // reached at its backing folder
    served_.insert(letter);
    (void)manager_->SetServedAt(letter, mountPoint);
  }
}

void MachineVolumes::WithdrawLocked(char letter) {
  if (!served_.erase(letter) || !frontEnd_) return;
  // Processes are sent back to the backing folder before the mount goes, so that no one
  // is sent to a mount that is not there.
  (void)manager_->SetServedAt(letter, "");
  frontEnd_->Withdraw(letter);
}

NTSTATUS MachineVolumes::LoadHostFs() {
  kernel::KernelScope bound(kernel_);
  std::lock_guard lock(mutex_);
  if (hostFs_) return STATUS_SUCCESS;
  return kernel_.LoadDriver(nb::hostfs::kDriverName, nb::hostfs::DriverEntry, &hostFs_);
}

NTSTATUS MachineVolumes::AddVolume(const kernel::VolumeParameters& parameters, PDEVICE_OBJECT* storage) {
  kernel::KernelScope bound(kernel_);
  NTSTATUS status = LoadHostFs();
  if (!NT_SUCCESS(status)) return status;
  return manager_->AddVolume(parameters, storage);
}

NTSTATUS MachineVolumes::Restore(const std::string& volumesRoot, const std::vector<Profile>& profiles,
                                 std::vector<std::string>* problems) {
  kernel::KernelScope bound(kernel_);
  NTSTATUS status = LoadHostFs();
  if (!NT_SUCCESS(status)) return status;
  std::vector<VolumeRecord> records;
  status = ReadVolumeRecords(kernel_.Registry(), &records);
  if (!NT_SUCCESS(status)) return status;
  if (records.empty()) {
    // First boot: the system drive, with a serial of its own.
    kernel::VolumeAddition system;
    system.letter = kSystemDrive;
    std::random_device random;
    do {
      system.serial = random();
    } while (system.serial == 0);
    system.hasSerial = true;
    char name[16];
    std::snprintf(name, sizeof name, "%08X", static_cast<unsigned>(system.serial));
    system.folder = volumesRoot + "/" + name;
    if (mkdir(system.folder.c_str(), 0755) != 0 && errno != EEXIST) {
      problems->push_back("cannot create " + system.folder + ": " + std::strerror(errno));
      return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    ULONG serial;
    status = Add(system, &serial);
    if (!NT_SUCCESS(status)) {
      problems->push_back("cannot add drive C: from " + system.folder + " (status " + StatusText(status) + ")");
      return status;
    }
  } else {
    std::lock_guard lock(mutex_);
    for (const VolumeRecord& record : records) {
      if (!record.present) continue;
      std::string point = record.overmount ? record.folder : record.mountPath;
      if (frontEnd_ && !point.empty()) frontEnd_->Reclaim(point);
      status = manager_->AddVolume(ParametersOf(record, record.letter));
      if (!NT_SUCCESS(status)) {
        problems->push_back(std::string("drive ") + record.letter + ": from " + record.folder +
                            " did not come back (status " + StatusText(status) + ")");
        continue;
      }
      ServeLocked(record.letter);
    }
  }
  // The system drive's folders, where they are missing.
  std::string systemFolder;
  for (const kernel::VolumeInfo& volume : manager_->Volumes()) {
    if (volume.letter == kSystemDrive) systemFolder = volume.hostFolder;
  }
  if (systemFolder.empty()) {
    problems->push_back("drive C: is not present");
    return STATUS_SUCCESS;
  }
  std::vector<std::string> names;
  for (const Profile& profile : profiles) names.push_back(profile.name);
  std::string temp = FolderOnDriveC(u"%SystemRoot%\\TEMP", u"C:\\Windows");
  for (const std::string& folder : SystemTreeFolders(names)) {
    std::string path = systemFolder + "/" + folder;
    if (mkdir(path.c_str(), 0755) != 0) {
      if (errno != EEXIST) problems->push_back("cannot create " + path + ": " + std::strerror(errno));
      continue;
    }
    // Every user's programs write their temporary files there.
    if (folder == temp) chmod(path.c_str(), 01777);
    for (const Profile& profile : profiles) {
      std::string own = FolderOnDriveC(machine::kProfilesFolder, u"") + "/" + profile.name;
      if (profile.uid >= 0 && (folder == own || folder.starts_with(own + "/"))) {
        if (chown(path.c_str(), static_cast<uid_t>(profile.uid), static_cast<gid_t>(profile.gid)) != 0) {
          problems->push_back("cannot give " + path + " to " + profile.name + ": " + std::strerror(errno));
        }
      }
    }
  }
  return STATUS_SUCCESS;
}

std::vector<kernel::VolumeDescription> MachineVolumes::Describe() {
  kernel::KernelScope bound(kernel_);
  std::lock_guard lock(mutex_);
  std::vector<VolumeRecord> records;
  if (!NT_SUCCESS(ReadVolumeRecords(kernel_.Registry(), &records))) records.clear();
  std::vector<kernel::VolumeDescription> list;
  std::set<ULONG> present;
  for (const kernel::VolumeInfo& volume : manager_->Volumes()) {
    kernel::VolumeDescription description;
    description.letter = volume.letter;
    description.type = volume.type;
    description.serial = volume.serial;
    description.present = true;
    description.folder = volume.hostFolder;
    description.accessFolder = kernel::AccessFolderOf(volume);
    for (const VolumeRecord& record : records) {
      if (record.serial == volume.serial && volume.type != kernel::VolumeType::kRemote) {
        description.mountPath = record.mountPath;
        description.overmount = record.overmount;
        present.insert(record.serial);
      }
    }
    list.push_back(std::move(description));
  }
  // Recorded volumes whose medium is out (ejected, or a folder that did not come back).
  for (const VolumeRecord& record : records) {
    if (present.count(record.serial)) continue;
    kernel::VolumeDescription description;
    description.letter = record.letter;
    description.type = record.type;
    description.serial = record.serial;
    description.folder = record.folder;
    description.mountPath = record.mountPath;
    description.overmount = record.overmount;
    list.push_back(std::move(description));
  }
  std::stable_sort(list.begin(), list.end(), [](const auto& a, const auto& b) {
    return a.letter != b.letter ? a.letter < b.letter : a.present > b.present;
  });
  return list;
}

NTSTATUS MachineVolumes::Add(const kernel::VolumeAddition& addition, ULONG* serial) {
  kernel::KernelScope bound(kernel_);
  NTSTATUS status = LoadHostFs();
  if (!NT_SUCCESS(status)) return status;
  std::lock_guard lock(mutex_);
  return AddLocked(addition, serial);
}

NTSTATUS MachineVolumes::AddLocked(const kernel::VolumeAddition& addition, ULONG* serial) {
  *serial = 0;
  char letter = Upper(addition.letter);
  if (!ValidLetter(letter) || (addition.hasSerial && addition.serial == 0)) return STATUS_INVALID_PARAMETER;
  if (addition.overmount && !addition.mountPath.empty()) return STATUS_INVALID_PARAMETER;
  VolumeRecord record;
  NTSTATUS status = ResolveFolder(addition.folder, &record.folder);
  if (!NT_SUCCESS(status)) return status;
  if (!addition.mountPath.empty() && !NormalisePath(addition.mountPath, &record.mountPath)) {
    return addition.mountPath.size() > kernel::kMaxVolumePathBytes ? STATUS_NAME_TOO_LONG : STATUS_INVALID_PARAMETER;
  }
  std::vector<VolumeRecord> records;
  status = ReadVolumeRecords(kernel_.Registry(), &records);
  if (!NT_SUCCESS(status)) return status;
  std::vector<kernel::VolumeInfo> volumes = manager_->Volumes();
  for (const kernel::VolumeInfo& volume : volumes) {
    if (volume.letter == letter) return STATUS_OBJECT_NAME_COLLISION;
  }
  auto serialUsed = [&](ULONG candidate) {
    return std::any_of(records.begin(), records.end(), [&](const auto& r) { return r.serial == candidate; }) ||
           std::any_of(volumes.begin(), volumes.end(), [&](const auto& v) { return v.serial == candidate; });
  };
  if (addition.hasSerial && serialUsed(addition.serial)) return STATUS_DUPLICATE_OBJECTID;
  bool folderUsed =
      std::any_of(records.begin(), records.end(), [&](const auto& r) { return r.folder == record.folder; }) ||
      std::any_of(volumes.begin(), volumes.end(), [&](const auto& v) { return v.hostFolder == record.folder; });
  if (folderUsed) return STATUS_SHARING_VIOLATION;
  if (records.size() >= kernel::kMaxMachineVolumes) return STATUS_INSUFFICIENT_RESOURCES;

  record.letter = letter;
  record.type = addition.removable ? kernel::VolumeType::kRemovable : kernel::VolumeType::kFixed;
  record.overmount = addition.overmount;
  record.serial = addition.serial;
  if (!addition.hasSerial) {
    std::random_device random;
    do {
      record.serial = random();
    } while (record.serial == 0 || serialUsed(record.serial));
  }
  status = manager_->AddVolume(ParametersOf(record, letter));
  if (!NT_SUCCESS(status)) return status;
  // Recorded once it is there, so that no record stands for a volume that never came.
  status = WriteVolumeRecord(kernel_.Registry(), record);
  if (!NT_SUCCESS(status)) {
    (void)manager_->RemoveVolume(letter);
    return status;
  }
  ServeLocked(letter);
  *serial = record.serial;
  return STATUS_SUCCESS;
}

NTSTATUS MachineVolumes::Eject(char letter) {
  kernel::KernelScope bound(kernel_);
  std::lock_guard lock(mutex_);
  letter = Upper(letter);
  if (!ValidLetter(letter)) return STATUS_INVALID_PARAMETER;
  const kernel::VolumeInfo* found = nullptr;
  std::vector<kernel::VolumeInfo> volumes = manager_->Volumes();
  for (const kernel::VolumeInfo& volume : volumes) {
    if (volume.letter == letter) found = &volume;
  }
  if (!found) return STATUS_NO_SUCH_DEVICE;
  if (letter == kSystemDrive) return STATUS_INVALID_DEVICE_REQUEST;
  std::vector<VolumeRecord> records;
  NTSTATUS status = ReadVolumeRecords(kernel_.Registry(), &records);
  if (!NT_SUCCESS(status)) return status;
  // Unmounted while the volume's stack still answers.
  WithdrawLocked(letter);
  status = manager_->RemoveVolume(letter);
  if (!NT_SUCCESS(status)) return status;
  for (VolumeRecord& record : records) {
    if (record.serial != found->serial) continue;
    record.present = false;
    return WriteVolumeRecord(kernel_.Registry(), record);
  }
  return STATUS_SUCCESS;  // a volume added straight, with no record: gone for good
}

NTSTATUS MachineVolumes::Insert(const std::string& folder, char letter, char* inserted, ULONG* serial) {
  kernel::KernelScope bound(kernel_);
  NTSTATUS status = LoadHostFs();
  if (!NT_SUCCESS(status)) return status;
  std::lock_guard lock(mutex_);
  *inserted = 0;
  *serial = 0;
  letter = Upper(letter);
  if (letter && !ValidLetter(letter)) return STATUS_INVALID_PARAMETER;
  std::string resolved;
  status = ResolveFolder(folder, &resolved);
  if (!NT_SUCCESS(status)) return status;
  std::vector<VolumeRecord> records;
  status = ReadVolumeRecords(kernel_.Registry(), &records);
  if (!NT_SUCCESS(status)) return status;
  auto record = std::find_if(records.begin(), records.end(), [&](const auto& r) { return r.folder == resolved; });
  if (record == records.end()) return STATUS_NOT_FOUND;
  for (const kernel::VolumeInfo& volume : manager_->Volumes()) {
    if (volume.serial == record->serial) return STATUS_INVALID_DEVICE_STATE;
  }
  char target = letter ? letter : record->letter;
  status = manager_->AddVolume(ParametersOf(*record, target));
  if (!NT_SUCCESS(status)) return status;
  record->letter = target;
  record->present = true;
  status = WriteVolumeRecord(kernel_.Registry(), *record);
  if (!NT_SUCCESS(status)) {
    (void)manager_->RemoveVolume(target);
    return status;
  }
  ServeLocked(target);
  *inserted = target;
  *serial = record->serial;
  return STATUS_SUCCESS;
}

}  // namespace nb::host
