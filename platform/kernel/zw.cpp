// ZwCreateFile and ZwClose: opens by object name that hand back a handle.
#include "nb/kernel/file_requests.h"
#include "nb/kernel/handles.h"
#include "nb/kernel/io.h"
#include "nb/kernel/kernel.h"
#include "nb/kernel/process.h"

namespace {

ULONG CurrentProcessId() { return nb::kernel::ProcessTable::IdOf(nb::kernel::CurrentProcess()); }

}  // namespace

NTSTATUS ZwCreateFile(PHANDLE fileHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                      PIO_STATUS_BLOCK ioStatusBlock, PLARGE_INTEGER, ULONG fileAttributes, ULONG shareAccess,
                      ULONG createDisposition, ULONG createOptions, PVOID, ULONG) {
  using namespace nb::kernel;
  if (!fileHandle || !ioStatusBlock) return STATUS_INVALID_PARAMETER;
  *fileHandle = nullptr;
  if (!objectAttributes || !objectAttributes->ObjectName) return STATUS_INVALID_PARAMETER;
  if (createDisposition > FILE_MAXIMUM_DISPOSITION || (createOptions & ~FILE_VALID_OPTION_FLAGS))
    return STATUS_INVALID_PARAMETER;
  const UNICODE_STRING& name = *objectAttributes->ObjectName;
  if ((name.Length % sizeof(WCHAR)) != 0 || (name.Length && !name.Buffer)) return STATUS_OBJECT_NAME_INVALID;

  OpenParameters parameters;
  parameters.desiredAccess = desiredAccess;
  parameters.shareAccess = shareAccess;
  parameters.disposition = createDisposition;
  parameters.options = createOptions;
  parameters.fileAttributes = fileAttributes;
  if (!(objectAttributes->Attributes & OBJ_CASE_INSENSITIVE)) parameters.flags |= SL_CASE_SENSITIVE;
  PVOID related = nullptr;
  if (objectAttributes->RootDirectory) {
    NTSTATUS status = ObReferenceObjectByHandle(objectAttributes->RootDirectory, 0, *IoFileObjectType, KernelMode,
                                                &related, nullptr);
    if (!NT_SUCCESS(status)) return status;
    parameters.related = static_cast<PFILE_OBJECT>(related);
  }
  PFILE_OBJECT file;
  ULONG_PTR information = 0;
  NTSTATUS status = OpenFile(std::u16string_view(name.Buffer ? name.Buffer : u"", name.Length / sizeof(WCHAR)),
                             parameters, &file, &information);
  // The related file matters to the create only.
  if (related) ObDereferenceObject(related);
  ioStatusBlock->Status = status;
  ioStatusBlock->Information = NT_SUCCESS(status) ? information : 0;
  if (!NT_SUCCESS(status)) return status;

  bool kernelHandle = (objectAttributes->Attributes & OBJ_KERNEL_HANDLE) != 0;
  HANDLE handle;
  status = CurrentKernel().Handles().Insert(CurrentProcessId(), kernelHandle, file, *IoFileObjectType,
                                            MapGenericFileAccess(desiredAccess), &handle);
  if (!NT_SUCCESS(status)) {
    CloseFile(file);
    ioStatusBlock->Status = status;
    ioStatusBlock->Information = 0;
    return status;
  }
  *fileHandle = handle;
  return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE handle) {
  using namespace nb::kernel;
  // Held across the close so the file object outlives its handle for the cleanup.
  HandleLookup lookup;
  NTSTATUS status = CurrentKernel().Handles().Reference(CurrentProcessId(), KernelMode, handle, nullptr, 0, &lookup);
  if (!NT_SUCCESS(status)) return status;
  status = CurrentKernel().Handles().Close(CurrentProcessId(), KernelMode, handle);
  if (!NT_SUCCESS(status)) {
    ObDereferenceObject(lookup.object);  // closed by another thread meanwhile
    return status;
  }
  // A file object has one handle at most here, so this was its last.
  if (lookup.type == *IoFileObjectType) {
    CloseFile(static_cast<PFILE_OBJECT>(lookup.object));
  } else {
    ObDereferenceObject(lookup.object);
  }
  return STATUS_SUCCESS;
}
