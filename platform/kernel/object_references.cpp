// Reference counting of kernel objects.
#include "nb/kernel/object_references.h"

#include <cassert>

#include "nb/kernel/io.h"
#include "nb/kernel/kernel.h"

namespace nb::kernel {

void ObjectReferences::Track(void* object, std::function<void(void*)> destroy) {
  std::lock_guard lock(mutex_);
  objects_[object] = Entry{1, std::move(destroy)};
}

bool ObjectReferences::Tracked(void* object) const {
  std::lock_guard lock(mutex_);
  return objects_.count(object) != 0;
}

void ObjectReferences::Reference(void* object) {
  std::lock_guard lock(mutex_);
  auto it = objects_.find(object);
  assert(it != objects_.end() && "referencing an object the kernel does not know");
  if (it != objects_.end()) ++it->second.references;
}

bool ObjectReferences::TryReference(void* object) {
  std::lock_guard lock(mutex_);
  auto it = objects_.find(object);
  if (it == objects_.end()) return false;
  ++it->second.references;
  return true;
}

void ObjectReferences::Dereference(void* object) {
  std::function<void(void*)> destroy;
  {
    std::lock_guard lock(mutex_);
    auto it = objects_.find(object);
    assert(it != objects_.end() && "dereferencing an object the kernel does not know");
    if (it == objects_.end() || --it->second.references > 0) return;
    destroy = std::move(it->second.destroy);
    objects_.erase(it);
  }
  if (destroy) destroy(object);
}

size_t ObjectReferences::Count() const {
  std::lock_guard lock(mutex_);
  return objects_.size();
}

}  // namespace nb::kernel

VOID ObReferenceObject(PVOID object) { nb::kernel::CurrentKernel().References().Reference(object); }

VOID ObDereferenceObject(PVOID object) { nb::kernel::CurrentKernel().References().Dereference(object); }

NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING objectName, ACCESS_MASK desiredAccess, PFILE_OBJECT* fileObject,
                                  PDEVICE_OBJECT* deviceObject) {
  nb::kernel::OpenParameters parameters;
  parameters.desiredAccess = desiredAccess;
  PFILE_OBJECT file;
  NTSTATUS status = nb::kernel::OpenFile(
      std::u16string_view(objectName->Buffer, objectName->Length / sizeof(WCHAR)), parameters, &file);
  if (!NT_SUCCESS(status)) return status;
  *fileObject = file;
  *deviceObject = IoGetRelatedDeviceObject(file);
  return STATUS_SUCCESS;
}
