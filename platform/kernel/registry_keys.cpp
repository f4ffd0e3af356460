// Deleting, enumerating and describing registry keys.
#include "nb/kernel/registry.h"
#include "nb/kernel/registry_rules.h"
#include "registry_store.h"

namespace nb::kernel {

NTSTATUS RegistryHive::DeleteKey(const RegistryCaller& caller, RegistryHandle key) {
  std::lock_guard lock(mutex_);
  const OpenedKey* opened;
  NTSTATUS status = Existing(caller, key, DELETE, &opened);
  if (!NT_SUCCESS(status)) return status;
  if (IsHiveRootKey(opened->path)) return STATUS_CANNOT_DELETE;
  int64_t id = opened->id;
  return store_->InTransaction([&] {
    bool hasSubKeys = false;
    NTSTATUS step = store_->HasSubKeys(id, &hasSubKeys);
    if (!NT_SUCCESS(step)) return step;
    if (hasSubKeys) return STATUS_CANNOT_DELETE;
    int64_t parent = 0;
    step = store_->ParentOf(id, &parent);
    if (NT_SUCCESS(step)) step = store_->RemoveKey(id);
    if (!NT_SUCCESS(step)) return step;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return store_->SetLastWriteTime(parent, now.QuadPart);
  });
}

NTSTATUS RegistryHive::EnumerateKey(const RegistryCaller& caller, RegistryHandle key, ULONG index,
                                    std::u16string* name, LONGLONG* lastWriteTime) {
  std::lock_guard lock(mutex_);
  const OpenedKey* opened;
  NTSTATUS status = Existing(caller, key, KEY_ENUMERATE_SUB_KEYS, &opened);
  if (!NT_SUCCESS(status)) return status;
  return store_->SubKeyAt(opened->id, index, name, lastWriteTime);
}

NTSTATUS RegistryHive::QueryKeyInfo(const RegistryCaller& caller, RegistryHandle key, RegistryKeyInfo* info) {
  std::lock_guard lock(mutex_);
  const OpenedKey* opened;
  NTSTATUS status = Existing(caller, key, KEY_QUERY_VALUE, &opened);
  if (!NT_SUCCESS(status)) return status;
  return store_->KeyInfo(opened->id, info);
}

}  // namespace nb::kernel
