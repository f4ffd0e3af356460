// Names and handles of named events and mutants.
#include "named_objects.h"

#include "nb/kernel/handles.h"
#include "nb/kernel/kernel.h"
#include "nb/kernel/object_references.h"
#include "nb/kernel/process.h"

namespace nb::kernel {

bool ValidObjectName(std::u16string_view name) {
  return name.size() > 1 && name.front() == u'\\' && name.back() != u'\\';
}

ULONG CurrentProcessId() { return ProcessTable::IdOf(CurrentProcess()); }

std::mutex& NamedObjectsLock() { return CurrentKernel().NamedObjectsLock(); }

void* ReferenceNamedObject(std::u16string_view name, ObjectKind kind) {
  Kernel& kernel = CurrentKernel();
  void* object = kernel.Namespace().Lookup(name, kind);
  if (!object) return nullptr;
  if (kernel.References().TryReference(object)) return object;
  (void)kernel.Namespace().Remove(name);
  return nullptr;
}

bool NameTakenByOtherKind(std::u16string_view name, ObjectKind kind) {
  ResolvedName resolved;
  return NT_SUCCESS(CurrentKernel().Namespace().Resolve(name, &resolved)) && resolved.remainder.empty() &&
         resolved.kind != kind;
}

NTSTATUS InsertObjectHandle(void* object, POBJECT_TYPE type, ACCESS_MASK access, bool kernelHandle, HANDLE* handle,
                            HANDLE chosen) {
  HandleTables& handles = CurrentKernel().Handles();
  NTSTATUS status;
  if (chosen) {
    status = handles.InsertAt(CurrentProcessId(), chosen, object, type, access);
    if (NT_SUCCESS(status)) *handle = chosen;
  } else {
    status = handles.Insert(CurrentProcessId(), kernelHandle, object, type, access, handle);
  }
  if (!NT_SUCCESS(status)) ObDereferenceObject(object);
  return status;
}

NTSTATUS ReferenceObjectHandle(HANDLE handle, POBJECT_TYPE type, ACCESS_MASK access, void** object) {
  HandleLookup lookup;
  NTSTATUS status = CurrentKernel().Handles().Reference(CurrentProcessId(), UserMode, handle, type, access, &lookup);
  *object = lookup.object;
  return status;
}

}  // namespace nb::kernel
