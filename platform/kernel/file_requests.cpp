// Requests on open files sent on behalf of callers: read, write, information, directory
// queries, security, flush and file-system control.
#include "nb/kernel/file_requests.h"

#include <cstring>

#include "nb/kernel/io.h"

namespace nb::kernel {

namespace {

// One METHOD_BUFFERED round trip: the input is copied into a system buffer large enough
// for the output too, and the output copied back unless the request failed.
NTSTATUS SendBuffered(PDEVICE_OBJECT target, PIRP irp, const void* input, ULONG inputLength, void* output,
                      ULONG outputLength, ULONG* returned) {
  if (returned) *returned = 0;
  ULONG bufferLength = inputLength > outputLength ? inputLength : outputLength;
  void* systemBuffer = nullptr;
  if (bufferLength) {
    systemBuffer = ExAllocatePoolWithTag(NonPagedPool, bufferLength, 'fuBS');
    if (!systemBuffer) {
      IoFreeIrp(irp);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (input && inputLength) std::memcpy(systemBuffer, input, inputLength);
  }
  irp->AssociatedIrp.SystemBuffer = systemBuffer;
  IO_STATUS_BLOCK ioStatus{};
  NTSTATUS status = SendAndWait(target, irp, &ioStatus);
  ULONG reported = static_cast<ULONG>(ioStatus.Information);
  if (!NT_ERROR(status) && output && outputLength) {
    std::memcpy(output, systemBuffer, reported < outputLength ? reported : outputLength);
  }
  if (returned) *returned = reported;
  if (systemBuffer) ExFreePool(systemBuffer);
  return status;
}

// Sends a request whose data stays in the caller's buffer (UserBuffer).
NTSTATUS SendDirect(PDEVICE_OBJECT target, PIRP irp, void* buffer, ULONG* returned) {
  irp->UserBuffer = buffer;
  IO_STATUS_BLOCK ioStatus{};
  NTSTATUS status = SendAndWait(target, irp, &ioStatus);
  if (returned) *returned = static_cast<ULONG>(ioStatus.Information);
  return status;
}

}  // namespace

ACCESS_MASK MapGenericFileAccess(ACCESS_MASK desiredAccess) {
  ACCESS_MASK mapped = desiredAccess & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  if (desiredAccess & GENERIC_READ) mapped |= FILE_GENERIC_READ;
  if (desiredAccess & GENERIC_WRITE) mapped |= FILE_GENERIC_WRITE;
  if (desiredAccess & GENERIC_EXECUTE) mapped |= FILE_GENERIC_EXECUTE;
  if (desiredAccess & GENERIC_ALL) mapped |= FILE_ALL_ACCESS;
  return mapped;
}

NTSTATUS ReadFile(PFILE_OBJECT file, void* buffer, ULONG length, LONGLONG offset, ULONG* transferred) {
  if (transferred) *transferred = 0;
  PDEVICE_OBJECT target = TargetOf(file);
  PIRP irp = BuildIrp(target, file, IRP_MJ_READ, 0);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->Parameters.Read.Length = length;
  stack->Parameters.Read.ByteOffset.QuadPart = offset;
  return SendDirect(target, irp, buffer, transferred);
}

NTSTATUS WriteFile(PFILE_OBJECT file, const void* buffer, ULONG length, LONGLONG offset, ULONG* transferred) {
  if (transferred) *transferred = 0;
  PDEVICE_OBJECT target = TargetOf(file);
  PIRP irp = BuildIrp(target, file, IRP_MJ_WRITE, 0);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->Parameters.Write.Length = length;
  stack->Parameters.Write.ByteOffset.QuadPart = offset;
  return SendDirect(target, irp, const_cast<void*>(buffer), transferred);
}

NTSTATUS QueryInformation(PFILE_OBJECT file, FILE_INFORMATION_CLASS informationClass, void* buffer, ULONG length,
                          ULONG* returned) {
  PDEVICE_OBJECT target = TargetOf(file);
  PIRP irp = BuildIrp(target, file, IRP_MJ_QUERY_INFORMATION, 0);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->Parameters.QueryFile.Length = length;
  stack->Parameters.QueryFile.FileInformationClass = informationClass;
  return SendBuffered(target, irp, nullptr, 0, buffer, length, returned);
}

NTSTATUS SetInformation(PFILE_OBJECT file, FILE_INFORMATION_CLASS informationClass, const void* buffer,
                        ULONG length, PFILE_OBJECT targetDirectory) {
  PDEVICE_OBJECT target = TargetOf(file);
  PIRP irp = BuildIrp(target, file, IRP_MJ_SET_INFORMATION, 0);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->Parameters.SetFile.Length = length;
  stack->Parameters.SetFile.FileInformationClass = informationClass;
  stack->Parameters.SetFile.FileObject = targetDirectory;
  if (informationClass == FileRenameInformation && buffer && length >= sizeof(BOOLEAN)) {
    stack->Parameters.SetFile.ReplaceIfExists = static_cast<const FILE_RENAME_INFORMATION*>(buffer)->ReplaceIfExists;
  }
  return SendBuffered(target, irp, buffer, length, nullptr, 0, nullptr);
}

NTSTATUS QueryDirectory(PFILE_OBJECT file, const DirectoryQuery& query, void* buffer, ULONG length,
                        ULONG* returned) {
  if (returned) *returned = 0;
  PDEVICE_OBJECT target = TargetOf(file);
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
  PDEVICE_OBJECT target = TargetOf(file);
  PIRP irp = BuildIrp(target, file, IRP_MJ_QUERY_SECURITY, 0);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->Parameters.QuerySecurity.SecurityInformation = information;
  stack->Parameters.QuerySecurity.Length = length;
  return SendDirect(target, irp, buffer, returned);
}

NTSTATUS SetSecurity(PFILE_OBJECT file, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor) {
  PDEVICE_OBJECT target = TargetOf(file);
  PIRP irp = BuildIrp(target, file, IRP_MJ_SET_SECURITY, 0);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->Parameters.SetSecurity.SecurityInformation = information;
  stack->Parameters.SetSecurity.SecurityDescriptor = descriptor;
  return SendAndWait(target, irp, nullptr);
}

NTSTATUS FlushFile(PFILE_OBJECT file) {
  PDEVICE_OBJECT target = TargetOf(file);
  PIRP irp = BuildIrp(target, file, IRP_MJ_FLUSH_BUFFERS, 0);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  return SendAndWait(target, irp, nullptr);
}

NTSTATUS FileSystemControl(PFILE_OBJECT file, ULONG code, const void* input, ULONG inputLength, void* output,
                           ULONG outputLength, ULONG* returned) {
  PDEVICE_OBJECT target = TargetOf(file);
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
  PDEVICE_OBJECT target = IoGetAttachedDevice(fileSystem);
  PIRP irp = BuildIrp(target, nullptr, IRP_MJ_FILE_SYSTEM_CONTROL, IRP_MN_MOUNT_VOLUME);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  irp->RequestorMode = KernelMode;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->Parameters.MountVolume.Vpb = storage->Vpb;
  stack->Parameters.MountVolume.DeviceObject = storage;
  return SendAndWait(target, irp, nullptr);
}

}  // namespace nb::kernel
