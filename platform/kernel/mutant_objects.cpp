// Mutant objects of the object manager: named and unnamed mutants and the handle services
// on them. The dispatcher keeps their ownership (dispatcher.cpp).
#include <new>

#include "nb/kernel/events.h"
#include "nb/kernel/kernel.h"
#include "nb/kernel/mutants.h"
#include "nb/kernel/object_references.h"
#include "named_objects.h"

namespace nb::kernel {

namespace {

// The last reference has gone, so no thread waits on it; an owner may still be recorded.
void DestroyMutant(void* object) {
  {
    std::lock_guard lock(NamedObjectsLock());
    CurrentKernel().Namespace().RemoveObject(object);
    CurrentKernel().MutantCreators().erase(object);
  }
  auto* mutant = static_cast<PRKMUTANT>(object);
  ForgetMutant(mutant);
  delete mutant;
}

PRKMUTANT ReferenceNamedMutant(std::u16string_view name) {
  return static_cast<PRKMUTANT>(ReferenceNamedObject(name, ObjectKind::kMutant));
}

// Whether `user` may reach a mutant by its name; the named-objects lock is held.
bool UserMayReach(Kernel& kernel, const void* mutant, std::optional<uint32_t> user) {
  if (!user || *user == 0) return true;
  auto creator = kernel.MutantCreators().find(mutant);
  return creator == kernel.MutantCreators().end() || creator->second == *user;
}

// The named mutant, referenced, or null with the status that refuses it; the named-objects
// lock is held.
PRKMUTANT ReachNamedMutant(Kernel& kernel, std::u16string_view name, std::optional<uint32_t> user,
                           NTSTATUS* refused) {
  *refused = STATUS_SUCCESS;
  // Judged before a reference is taken, whose drop could not run under this lock.
  void* named = kernel.Namespace().Lookup(name, ObjectKind::kMutant);
  if (named && !UserMayReach(kernel, named, user)) {
    *refused = STATUS_ACCESS_DENIED;
    return nullptr;
  }
  return ReferenceNamedMutant(name);
}

// A new mutant, or the named one that exists (STATUS_OBJECT_NAME_EXISTS); referenced.
NTSTATUS CreateMutantObject(std::u16string_view name, BOOLEAN initialOwner, std::optional<uint32_t> user,
                            PRKMUTANT* mutant) {
  *mutant = nullptr;
  if (!name.empty() && !ValidObjectName(name)) return STATUS_OBJECT_NAME_INVALID;
  Kernel& kernel = CurrentKernel();
  std::unique_lock lock(kernel.NamedObjectsLock(), std::defer_lock);
  if (!name.empty()) {
    lock.lock();
    NTSTATUS refused;
    if ((*mutant = ReachNamedMutant(kernel, name, user, &refused))) return STATUS_OBJECT_NAME_EXISTS;
    if (!NT_SUCCESS(refused)) return refused;
    if (NameTakenByOtherKind(name, ObjectKind::kMutant)) return STATUS_OBJECT_TYPE_MISMATCH;
  }
  auto* created = new (std::nothrow) KMUTANT{};
  if (!created) return STATUS_INSUFFICIENT_RESOURCES;
  KeInitializeMutant(created, initialOwner);
  if (!name.empty()) {
    NTSTATUS status = kernel.Namespace().Insert(name, ObjectKind::kMutant, created);
    if (!NT_SUCCESS(status)) {
      ForgetMutant(created);
      delete created;
      return status;
    }
  }
  kernel.References().Track(created, DestroyMutant);
  if (user) {
    std::unique_lock creators(kernel.NamedObjectsLock(), std::defer_lock);
    if (!lock.owns_lock()) creators.lock();
    kernel.MutantCreators()[created] = *user;
  }
  *mutant = created;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS NtCreateMutant(HANDLE* handle, ACCESS_MASK access, std::u16string_view name, BOOLEAN initialOwner,
                        HANDLE chosen, std::optional<uint32_t> user) {
  *handle = nullptr;
  PRKMUTANT mutant;
  NTSTATUS status = CreateMutantObject(name, initialOwner, user, &mutant);
  if (!NT_SUCCESS(status)) return status;
  NTSTATUS inserted = InsertObjectHandle(mutant, *ExMutantObjectType, access, false, handle, chosen);
  return NT_SUCCESS(inserted) ? status : inserted;
}

NTSTATUS NtOpenMutant(HANDLE* handle, ACCESS_MASK access, std::u16string_view name, HANDLE chosen,
                      std::optional<uint32_t> user) {
  *handle = nullptr;
  if (!ValidObjectName(name)) return STATUS_OBJECT_NAME_INVALID;
  PRKMUTANT mutant;
  {
    std::lock_guard lock(NamedObjectsLock());
    NTSTATUS refused;
    mutant = ReachNamedMutant(CurrentKernel(), name, user, &refused);
    if (!NT_SUCCESS(refused)) return refused;
    if (!mutant) {
      return NameTakenByOtherKind(name, ObjectKind::kMutant) ? STATUS_OBJECT_TYPE_MISMATCH
                                                             : STATUS_OBJECT_NAME_NOT_FOUND;
    }
  }
  return InsertObjectHandle(mutant, *ExMutantObjectType, access, false, handle, chosen);
}

NTSTATUS NtReleaseMutant(HANDLE handle, LONG* previousCount) {
  void* object;
  // Releasing needs no right beyond the handle's: ownership is the check.
  NTSTATUS status = ReferenceObjectHandle(handle, *ExMutantObjectType, 0, &object);
  if (!NT_SUCCESS(status)) return status;
  status = KeReleaseMutantObject(static_cast<PRKMUTANT>(object), previousCount);
  ObDereferenceObject(object);
  return status;
}

}  // namespace nb::kernel
