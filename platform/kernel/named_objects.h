// What named events and mutants share: their names in the object namespace, found and
// referenced under the kernel's named-objects lock, and the handles that file them.
#pragma once

#include <mutex>
#include <string_view>

#include <ntifs.h>

#include "nb/kernel/object_namespace.h"

namespace nb::kernel {

// A full object name such as "\BaseNamedObjects\NAME".
bool ValidObjectName(std::u16string_view name);

ULONG CurrentProcessId();

std::mutex& NamedObjectsLock();

// The object of `kind` with the name, referenced, or null; the named-objects lock is held.
// An object whose last reference is already gone loses its name here so that a new one
// can take it.
void* ReferenceNamedObject(std::u16string_view name, ObjectKind kind);

// Whether the name belongs to an object of another kind than `kind`.
bool NameTakenByOtherKind(std::u16string_view name, ObjectKind kind);

// Files the referenced object in the current process's handle table (under `chosen` when
// it is not null); the reference goes to the handle, or is dropped on failure.
[[nodiscard]] NTSTATUS InsertObjectHandle(void* object, POBJECT_TYPE type, ACCESS_MASK access, bool kernelHandle,
                                          HANDLE* handle, HANDLE chosen = nullptr);

// The object of `type` behind a user-mode handle of the current process, referenced.
[[nodiscard]] NTSTATUS ReferenceObjectHandle(HANDLE handle, POBJECT_TYPE type, ACCESS_MASK access, void** object);

}  // namespace nb::kernel
