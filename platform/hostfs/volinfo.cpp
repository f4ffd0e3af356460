// IRP_MJ_QUERY_VOLUME_INFORMATION: the volume's serial number and label, and the file
// system's name and attributes, its size and free space ("NTFS" for fixed volumes, "FAT" for removable ones).
#include <cstring>
#include <sys/statvfs.h>
#include <string_view>

#include "hostfs_internal.h"

namespace nb::hostfs {

namespace {

constexpr LONG kMaximumComponentLength = 255;

std::u16string_view FileSystemNameOf(const HostVolume* volume) {
  return (volume->device->Characteristics & FILE_REMOVABLE_MEDIA) ? u"FAT" : u"NTFS";
}

// Copies the fixed part and as much of the name as fits: a short buffer gets
// STATUS_BUFFER_OVERFLOW with what fits, one without room for the fixed part
// STATUS_INFO_LENGTH_MISMATCH.
NTSTATUS FillVariable(void* buffer, ULONG length, const void* fixed, size_t nameOffset, std::u16string_view name,
                      ULONG* written) {
  *written = 0;
  if (length < nameOffset) return STATUS_INFO_LENGTH_MISMATCH;
  std::memcpy(buffer, fixed, nameOffset);
  size_t nameBytes = name.size() * sizeof(WCHAR);
  size_t room = length - nameOffset;
  size_t copied = nameBytes < room ? nameBytes : room - room % sizeof(WCHAR);
  std::memcpy(static_cast<char*>(buffer) + nameOffset, name.data(), copied);
  *written = static_cast<ULONG>(nameOffset + copied);
  return copied < nameBytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS QueryVolume(const HostVolume* volume, void* buffer, ULONG length, ULONG* written) {
  FILE_FS_VOLUME_INFORMATION information{};
  information.VolumeSerialNumber = volume->vpb->SerialNumber;
  information.VolumeLabelLength = volume->vpb->VolumeLabelLength;
  std::u16string_view label(volume->vpb->VolumeLabel, volume->vpb->VolumeLabelLength / sizeof(WCHAR));
  return FillVariable(buffer, length, &information, offsetof(FILE_FS_VOLUME_INFORMATION, VolumeLabel), label,
                      written);
}

NTSTATUS QueryAttributes(const HostVolume* volume, void* buffer, ULONG length, ULONG* written) {
  FILE_FS_ATTRIBUTE_INFORMATION information{};
  // Names are looked up as the host spells them.
  information.FileSystemAttributes = FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
  information.MaximumComponentNameLength = kMaximumComponentLength;
  std::u16string_view name = FileSystemNameOf(volume);
  information.FileSystemNameLength = static_cast<ULONG>(name.size() * sizeof(WCHAR));
  return FillVariable(buffer, length, &information, offsetof(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName), name,
                      written);
}

// The backing folder's file system in allocation units of its fragment size.
NTSTATUS QuerySize(const HostVolume* volume, void* buffer, ULONG length, ULONG* written) {
  *written = 0;
  if (length < sizeof(FILE_FS_SIZE_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
  struct statvfs host {};
  if (fstatvfs(volume->rootFd, &host) != 0) return STATUS_IO_DEVICE_ERROR;
  FILE_FS_SIZE_INFORMATION information{};
  information.TotalAllocationUnits.QuadPart = static_cast<LONGLONG>(host.f_blocks);
  information.AvailableAllocationUnits.QuadPart = static_cast<LONGLONG>(host.f_bavail);
  information.BytesPerSector = 512;
  ULONG unit = static_cast<ULONG>(host.f_frsize ? host.f_frsize : host.f_bsize);
  information.SectorsPerAllocationUnit = unit >= 512 ? unit / 512 : 1;
  std::memcpy(buffer, &information, sizeof information);
  *written = sizeof information;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS HostQueryVolumeInformation(PDEVICE_OBJECT device, PIRP irp) {
  HostVolume* volume = VolumeOf(device);
  if (!volume) return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  void* buffer = irp->AssociatedIrp.SystemBuffer;
  ULONG length = buffer ? stack->Parameters.QueryVolume.Length : 0;
  ULONG written = 0;
  NTSTATUS status;
  switch (stack->Parameters.QueryVolume.FsInformationClass) {
    case FileFsVolumeInformation:
      status = QueryVolume(volume, buffer, length, &written);
      break;
    case FileFsAttributeInformation:
      status = QueryAttributes(volume, buffer, length, &written);
      break;
    case FileFsSizeInformation:
      status = QuerySize(volume, buffer, length, &written);
      break;
    default:
      status = STATUS_INVALID_INFO_CLASS;
      break;
  }
  return CompleteRequest(irp, status, written);
}

}  // namespace nb::hostfs
