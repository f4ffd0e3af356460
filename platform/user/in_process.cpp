// The in-process transport over the kernel instance of this process.
#include "nb/win/in_process.h"

#include "nb/kernel/io.h"
#include "nb/kernel/kernel.h"

namespace nb::win {

namespace {
PFILE_OBJECT FileOf(TransportObject object) { return reinterpret_cast<PFILE_OBJECT>(static_cast<uintptr_t>(object)); }
}  // namespace

NTSTATUS InProcessTransport::OpenObject(const ObjectOpen& open, TransportObject* object) {
  *object = 0;
  if (!kernel::Kernel::Current()) return STATUS_NO_SUCH_DEVICE;
  kernel::OpenParameters parameters;
  parameters.desiredAccess = open.desiredAccess;
  parameters.shareAccess = open.shareAccess;
  parameters.disposition = open.disposition;
  parameters.options = open.options;
  parameters.fileAttributes = open.fileAttributes;
  PFILE_OBJECT file;
  NTSTATUS status = kernel::OpenFile(open.objectName, parameters, &file);
  if (!NT_SUCCESS(status)) return status;
  *object = reinterpret_cast<uintptr_t>(file);
  return status;
}

NTSTATUS InProcessTransport::DeviceControl(TransportObject object, ULONG code, const void* input, ULONG inputLength,
                                           void* output, ULONG outputLength, ULONG* returned) {
  if (IsKernelHandleObject(object) || IsRegistryKeyObject(object)) return STATUS_INVALID_DEVICE_REQUEST;
  return kernel::DeviceControl(FileOf(object), code, input, inputLength, output, outputLength, returned);
}

void InProcessTransport::CloseObject(TransportObject object) {
  if (IsKernelHandleObject(object)) {
    CloseKernelHandleObject(object);
    return;
  }
  if (IsRegistryKeyObject(object)) {
    CloseRegistryKeyObject(object);
    return;
  }
  kernel::CloseFile(FileOf(object));
}

}  // namespace nb::win
