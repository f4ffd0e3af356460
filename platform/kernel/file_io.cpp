// Opening files and devices by name, device control and close, on behalf of callers.
#include <cstring>
#include <new>
#include <string>

#include "nb/kernel/io.h"
#include "nb/kernel/file_requests.h"
#include "nb/kernel/kernel.h"
#include "nb/kernel/object_namespace.h"
#include "nb/kernel/object_references.h"

namespace nb::kernel {

namespace {

PFILE_OBJECT NewFileObject(PDEVICE_OBJECT device, std::u16string_view name, PFILE_OBJECT related) {
  auto* file = new (std::nothrow) FILE_OBJECT{};
  if (!file) return nullptr;
  auto* buffer = new (std::nothrow) WCHAR[name.size() + 1];
  if (!buffer) {
    delete file;
    return nullptr;
  }
  std::memcpy(buffer, name.data(), name.size() * sizeof(WCHAR));
  buffer[name.size()] = 0;
  file->Type = 5;
  file->Size = sizeof(FILE_OBJECT);
  file->DeviceObject = device;
  file->RelatedFileObject = related;
  file->FileName.Buffer = buffer;
  file->FileName.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
  file->FileName.MaximumLength = static_cast<USHORT>(file->FileName.Length + sizeof(WCHAR));
  if (VpbMounted(device->Vpb)) file->Vpb = device->Vpb;
  return file;
}

// Drops the file object and the reference on its device that it holds.
void FreeFileObject(PFILE_OBJECT file) {
  PDEVICE_OBJECT device = file->DeviceObject;
  delete[] file->FileName.Buffer;
  delete file;
  ObDereferenceObject(device);
}

bool DeletePending(PDEVICE_OBJECT device) {
  std::lock_guard lock(CurrentKernel().DeviceTreeLock());
  return device->DeletePending;
}

void SendSimple(PFILE_OBJECT file, UCHAR majorFunction) {
  DeviceReference target = TargetOf(file);
  PIRP irp = BuildIrp(target, file, majorFunction, 0);
  if (irp) (void)SendAndWait(target, irp, nullptr);
}

}  // namespace

NTSTATUS OpenFile(std::u16string_view name, const OpenParameters& parameters, PFILE_OBJECT* file,
                  ULONG_PTR* information) {
  *file = nullptr;
  PDEVICE_OBJECT device;
  std::u16string remainder;
  if (parameters.related) {
    device = parameters.related->DeviceObject;
    ObReferenceObject(device);
    remainder = std::u16string(name);
  } else {
    Kernel& kernel = CurrentKernel();
    ResolvedName resolved;
    // Referenced before the name can go, so that a device being deleted stays readable.
    NTSTATUS status = kernel.Namespace().ResolveReferenced(name, kernel.References(), &resolved);
    if (!NT_SUCCESS(status)) return status;
    if (resolved.kind != ObjectKind::kDevice) {
      ObDereferenceObject(resolved.object);
      return STATUS_OBJECT_TYPE_MISMATCH;
    }
    device = static_cast<PDEVICE_OBJECT>(resolved.object);
    remainder = std::move(resolved.remainder);
  }
  // A device being deleted takes no new opens. Otherwise the file object takes over the
  // reference on the device.
  NTSTATUS refused = DeletePending(device)                          ? STATUS_NO_SUCH_DEVICE
                     : remainder.size() * sizeof(WCHAR) > 0xFFF0 ? STATUS_OBJECT_NAME_INVALID
                                                                   : STATUS_SUCCESS;
  if (!NT_SUCCESS(refused)) {
    ObDereferenceObject(device);
    return refused;
  }

  PFILE_OBJECT fileObject = NewFileObject(device, remainder, parameters.related);
  if (!fileObject) {
    ObDereferenceObject(device);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (parameters.related && parameters.related->Vpb) fileObject->Vpb = parameters.related->Vpb;

  DeviceReference target = TargetOf(fileObject);
  PIRP irp = BuildIrp(target, fileObject, IRP_MJ_CREATE, 0);
  if (!irp) {
    FreeFileObject(fileObject);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (parameters.options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT))
    fileObject->Flags |= FO_SYNCHRONOUS_IO;
  ACCESS_MASK desiredAccess = MapGenericFileAccess(parameters.desiredAccess);
  ACCESS_STATE accessState{};
  accessState.OriginalDesiredAccess = accessState.RemainingDesiredAccess = desiredAccess;
  SeCaptureSubjectContext(&accessState.SubjectSecurityContext);
  IO_SECURITY_CONTEXT securityContext{};
  securityContext.AccessState = &accessState;
  securityContext.DesiredAccess = desiredAccess;
  securityContext.FullCreateOptions = parameters.options;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->Flags = parameters.flags;
  stack->Parameters.Create.SecurityContext = &securityContext;
  stack->Parameters.Create.Options = (parameters.disposition << 24) | (parameters.options & 0x00FFFFFF);
  stack->Parameters.Create.FileAttributes = static_cast<USHORT>(parameters.fileAttributes);
  stack->Parameters.Create.ShareAccess = static_cast<USHORT>(parameters.shareAccess);

  IO_STATUS_BLOCK ioStatus{};
  NTSTATUS status = SendAndWait(target, irp, &ioStatus);
  SeReleaseSubjectContext(&accessState.SubjectSecurityContext);
  if (information) *information = ioStatus.Information;
  if (!NT_SUCCESS(status)) {
    FreeFileObject(fileObject);
    return status;
  }
  // The last reference sends IRP_MJ_CLOSE and frees the file object.
  CurrentKernel().References().Track(fileObject, [](void* object) {
    auto* closing = static_cast<PFILE_OBJECT>(object);
    SendSimple(closing, IRP_MJ_CLOSE);
    FreeFileObject(closing);
  });
  *file = fileObject;
  return status;
}

void CloseFile(PFILE_OBJECT file) {
  SendSimple(file, IRP_MJ_CLEANUP);
  file->Flags |= FO_CLEANUP_COMPLETE;
  ObDereferenceObject(file);
}

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

NTSTATUS DeviceControl(PFILE_OBJECT file, ULONG code, const void* input, ULONG inputLength, void* output,
                       ULONG outputLength, ULONG* returned) {
  if (returned) *returned = 0;
  DeviceReference target = TargetOf(file);
  PIRP irp = BuildIrp(target, file, IRP_MJ_DEVICE_CONTROL, 0);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->Parameters.DeviceIoControl.IoControlCode = code;
  stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
  stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
  return SendBuffered(target, irp, input, inputLength, output, outputLength, returned);
}

}  // namespace nb::kernel
