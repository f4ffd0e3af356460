// The machine's volumes: the drive table for any caller; adding, ejecting and inserting
// volumes for callers running as Linux root only.
#include "nb/kernel/kernel.h"
#include "nb/kernel/volume_service.h"
#include "requests.h"

namespace nb::server {

namespace {

constexpr uint32_t kRoot = 0;

bool ValidLetter(uint8_t letter) { return (letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z'); }

uint8_t WireType(kernel::VolumeType type) {
  switch (type) {
    case kernel::VolumeType::kFixed:
      return 0;
    case kernel::VolumeType::kRemovable:
      return 1;
    case kernel::VolumeType::kRemote:
      return 2;
    case kernel::VolumeType::kCdRom:
      return 3;
  }
  return 0;
}

}  // namespace

NTSTATUS Serve(ClientContext&, const QueryVolumesRequest&, QueryVolumesReply* reply) {
  return kernel::CurrentKernel().CallVolumeService([reply](kernel::VolumeService& service) {
    for (const kernel::VolumeDescription& volume : service.Describe()) {
      if (reply->volumes.size() == kMaxVolumes) break;
      VolumeEntry entry;
      entry.letter = static_cast<uint8_t>(volume.letter);
      entry.type = WireType(volume.type);
      entry.serial = volume.serial;
      entry.present = volume.present;
      entry.overmount = volume.overmount;
      entry.folder = volume.folder;
      entry.mountPath = volume.mountPath;
      entry.accessFolder = volume.accessFolder;
      reply->volumes.push_back(std::move(entry));
    }
    return STATUS_SUCCESS;
  });
}

NTSTATUS Serve(ClientContext& client, const AddVolumeRequest& request, AddVolumeReply* reply) {
  if (client.User() != kRoot) return STATUS_ACCESS_DENIED;
  if (!ValidLetter(request.letter)) return STATUS_INVALID_PARAMETER;
  kernel::VolumeAddition addition;
  addition.letter = static_cast<char>(request.letter);
  addition.removable = request.removable;
  addition.hasSerial = request.hasSerial;
  addition.serial = request.serial;
  addition.overmount = request.overmount;
  addition.folder = request.folder;
  addition.mountPath = request.mountPath;
  return kernel::CurrentKernel().CallVolumeService([&](kernel::VolumeService& service) {
    ULONG serial = 0;
    NTSTATUS status = service.Add(addition, &serial);
    reply->serial = serial;
    return status;
  });
}

NTSTATUS Serve(ClientContext& client, const EjectVolumeRequest& request, EjectVolumeReply*) {
  if (client.User() != kRoot) return STATUS_ACCESS_DENIED;
  if (!ValidLetter(request.letter)) return STATUS_INVALID_PARAMETER;
  return kernel::CurrentKernel().CallVolumeService(
      [&](kernel::VolumeService& service) { return service.Eject(static_cast<char>(request.letter)); });
}

NTSTATUS Serve(ClientContext& client, const InsertVolumeRequest& request, InsertVolumeReply* reply) {
  if (client.User() != kRoot) return STATUS_ACCESS_DENIED;
  if (request.letter != 0 && !ValidLetter(request.letter)) return STATUS_INVALID_PARAMETER;
  return kernel::CurrentKernel().CallVolumeService([&](kernel::VolumeService& service) {
    char inserted = 0;
    ULONG serial = 0;
    NTSTATUS status = service.Insert(request.folder, static_cast<char>(request.letter), &inserted, &serial);
    reply->letter = static_cast<uint8_t>(inserted);
    reply->serial = serial;
    return status;
  });
}

}  // namespace nb::server
