// Requests on open files sent on behalf of callers: read, write, information, directory
// queries, security, flush and file-system control.
#include "nb/kernel/file_requests.h"

#include <cstring>

#include "nb/kernel/io.h"

namespace nb::kernel {

namespace {

// Sends a request whose data stays in the caller's buffer (UserBuffer).
NTSTATUS SendDirect(PDEVICE_OBJECT target, PIRP irp, void* buffer, ULONG* returned) {
  irp->UserBuffer = buffer;
  IO_STATUS_BLOCK ioStatus{};
  NTSTATUS status = SendAndWait(target, irp, &ioStatus);
  if (returned) *returned = static_cast<ULONG>(ioStatus.Information);
  return status;
}

// Reads and writes of an open file whose data the file system caches (it set
// PrivateCacheMap) are offered to the fast I/O routine of the driver at the top of the
// stack first, as the I/O manager does for synchronous files; a routine that declines
// (or a driver without one) leaves the request to an IRP.
template <typename Routine>
bool TryFastIo(PFILE_OBJECT file, PDEVICE_OBJECT target, Routine FAST_IO_DISPATCH::*slot, void* buffer,
               ULONG length, LONGLONG offset, ULONG* transferred, NTSTATUS* status) {
  if (!(file->Flags & FO_SYNCHRONOUS_IO) || !file->PrivateCacheMap) return false;
  PFAST_IO_DISPATCH table = target->DriverObject->FastIoDispatch;
  if (!table || !(table->*slot)) return false;
  LARGE_INTEGER byteOffset;
  byteOffset.QuadPart = offset == kCurrentPosition ? file->CurrentByteOffset.QuadPart : offset;
  IO_STATUS_BLOCK ioStatus{};
  if (!(table->*slot)(file, &byteOffset, length, TRUE, 0, buffer, &ioStatus, target)) return false;
  *status = ioStatus.Status;
  if (transferred) *transferred = static_cast<ULONG>(ioStatus.Information);
  return true;
}

}  // namespace

NTSTATUS ReadFile(PFILE_OBJECT file, void* buffer, ULONG length, LONGLONG offset, ULONG* transferred) {
  if (transferred) *transferred = 0;
  DeviceReference target = TargetOf(file);
  NTSTATUS fastStatus;
  if (TryFastIo(file, target, &FAST_IO_DISPATCH::FastIoRead, buffer, length, offset, transferred, &fastStatus))
    return fastStatus;
  PIRP irp = BuildIrp(target, file, IRP_MJ_READ, 0);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->Parameters.Read.Length = length;
  stack->Parameters.Read.ByteOffset.QuadPart = offset;
  return SendDirect(target, irp, buffer, transferred);
}

NTSTATUS WriteFile(PFILE_OBJECT file, const void* buffer, ULONG length, LONGLONG offset, ULONG* transferred) {
  if (transferred) *transferred = 0;
  DeviceReference target = TargetOf(file);
  NTSTATUS fastStatus;
  if (TryFastIo(file, target, &FAST_IO_DISPATCH::FastIoWrite, const_cast<void*>(buffer), length, offset, transferred,
                &fastStatus))
    return fastStatus;
  PIRP irp = BuildIrp(target, file, IRP_MJ_WRITE, 0);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->Parameters.Write.Length = length;
  stack->Parameters.Write.ByteOffset.QuadPart = offset;
  return SendDirect(target, irp, const_cast<void*>(buffer), transferred);
}

NTSTATUS QueryInformation(PFILE_OBJECT file, FILE_INFORMATION_CLASS informationClass, void* buffer, ULONG length,
                          ULONG* returned) {
  DeviceReference target = TargetOf(file);
  PIRP irp = BuildIrp(target, file, IRP_MJ_QUERY_INFORMATION, 0);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->Parameters.QueryFile.Length = length;
  stack->Parameters.QueryFile.FileInformationClass = informationClass;
  return SendBuffered(target, irp, nullptr, 0, buffer, length, returned);
}

NTSTATUS SetInformation(PFILE_OBJECT file, FILE_INFORMATION_CLASS informationClass, const void* buffer,
                        ULONG length, PFILE_OBJECT targetDirectory) {
  DeviceReference target = TargetOf(file);
  PIRP irp = BuildIrp(target, file, IRP_MJ_SET_INFORMATION, 0);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->Parameters.SetFile.Length = length;
  stack->Parameters.SetFile.FileInformationClass = informationClass;
  stack->Parameters.SetFile.FileObject = targetDirectory;
  // A link record begins as a rename record does.
  if ((informationClass == FileRenameInformation || informationClass == FileLinkInformation) && buffer &&
      length >= sizeof(BOOLEAN)) {
    stack->Parameters.SetFile.ReplaceIfExists = static_cast<const FILE_RENAME_INFORMATION*>(buffer)->ReplaceIfExists;
  }
  return SendBuffered(target, irp, buffer, length, nullptr, 0, nullptr);
}

NTSTATUS QueryDirectory(PFILE_OBJECT file, const DirectoryQuery& query, void* buffer, ULONG length,
                        ULONG* returned) {
  if (returned) *returned = 0;
  DeviceReference target = TargetOf(file);
  PIRP irp = BuildIrp(target, file, IRP_MJ_DIRECTORY_CONTROL, IRP_MN_QUERY_DIRECTORY);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  UNICODE_STRING pattern{};
  if (query.pattern) {
    if (query.pattern->size() * sizeof(WCHAR) > 0xFFFE) {
      IoFreeIrp(irp);
      return STATUS_OBJECT_NAME_INVALID;
    }
    pattern.Buffer = const_cast<PWSTR>(query.pattern->data());
    pattern.Length = pattern.MaximumLength = static_cast<USHORT>(query.pattern->size() * sizeof(WCHAR));
  }
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->Flags = query.flags;
  stack->Parameters.QueryDirectory.Length = length;
  stack->Parameters.QueryDirectory.FileName = query.pattern ? &pattern : nullptr;
  stack->Parameters.QueryDirectory.FileInformationClass = query.informationClass;
  stack->Parameters.QueryDirectory.FileIndex = query.fileIndex;
  return SendDirect(target, irp, buffer, returned);
}

NTSTATUS QuerySecurity(PFILE_OBJECT file, SECURITY_INFORMATION information, void* buffer, ULONG length,
                       ULONG* returned) {
  if (returned) *returned = 0;
  DeviceReference target = TargetOf(file);
  PIRP irp = BuildIrp(target, file, IRP_MJ_QUERY_SECURITY, 0);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->Parameters.QuerySecurity.SecurityInformation = information;
  stack->Parameters.QuerySecurity.Length = length;
  return SendDirect(target, irp, buffer, returned);
}

NTSTATUS SetSecurity(PFILE_OBJECT file, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor) {
  DeviceReference target = TargetOf(file);
  PIRP irp = BuildIrp(target, file, IRP_MJ_SET_SECURITY, 0);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->Parameters.SetSecurity.SecurityInformation = information;
  stack->Parameters.SetSecurity.SecurityDescriptor = descriptor;
  return SendAndWait(target, irp, nullptr);
}

NTSTATUS FlushFile(PFILE_OBJECT file) {
  DeviceReference target = TargetOf(file);
  PIRP irp = BuildIrp(target, file, IRP_MJ_FLUSH_BUFFERS, 0);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  return SendAndWait(target, irp, nullptr);
}

NTSTATUS FileSystemControl(PFILE_OBJECT file, ULONG code, const void* input, ULONG inputLength, void* output,
                           ULONG outputLength, ULONG* returned) {
  DeviceReference target = TargetOf(file);
  PIRP irp = BuildIrp(target, file, IRP_MJ_FILE_SYSTEM_CONTROL, IRP_MN_USER_FS_REQUEST);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->Parameters.FileSystemControl.FsControlCode = code;
  stack->Parameters.FileSystemControl.InputBufferLength = inputLength;
  stack->Parameters.FileSystemControl.OutputBufferLength = outputLength;
  return SendBuffered(target, irp, input, inputLength, output, outputLength, returned);
}

NTSTATUS MountVolume(PDEVICE_OBJECT fileSystem, PDEVICE_OBJECT storage) {
  if (!storage->Vpb) return STATUS_UNRECOGNIZED_VOLUME;
  DeviceReference target(IoGetAttachedDeviceReference(fileSystem));
  PIRP irp = BuildIrp(target, nullptr, IRP_MJ_FILE_SYSTEM_CONTROL, IRP_MN_MOUNT_VOLUME);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  irp->RequestorMode = KernelMode;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->Parameters.MountVolume.Vpb = storage->Vpb;
  stack->Parameters.MountVolume.DeviceObject = storage;
  return SendAndWait(target, irp, nullptr);
}

}  // namespace nb::kernel

namespace nb::kernel {

NTSTATUS QueryVolumeInformation(PFILE_OBJECT file, FS_INFORMATION_CLASS informationClass, void* buffer,
                                ULONG length, ULONG* returned) {
  if (returned) *returned = 0;
  // What kind of device a file lives on is the I/O manager's own answer.
  if (informationClass == FileFsDeviceInformation) {
    if (length < sizeof(FILE_FS_DEVICE_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
    PDEVICE_OBJECT device = file->DeviceObject;
    FILE_FS_DEVICE_INFORMATION information{device->DeviceType, device->Characteristics};
    PVPB vpb = file->Vpb ? file->Vpb : device->Vpb;
    if (VpbMounted(vpb)) information.Characteristics |= FILE_DEVICE_IS_MOUNTED;
    std::memcpy(buffer, &information, sizeof information);
    if (returned) *returned = sizeof information;
    return STATUS_SUCCESS;
  }
  DeviceReference target = TargetOf(file);
  PIRP irp = BuildIrp(target, file, IRP_MJ_QUERY_VOLUME_INFORMATION, 0);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->Parameters.QueryVolume.Length = length;
  stack->Parameters.QueryVolume.FsInformationClass = informationClass;
  return SendBuffered(target, irp, nullptr, 0, buffer, length, returned);
}

}  // namespace nb::kernel
