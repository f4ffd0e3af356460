// Registry values: query, set, delete and enumerate.
#include "nb/kernel/registry.h"
#include "nb/kernel/registry_rules.h"
#include "registry_store.h"

namespace nb::kernel {

namespace {

NTSTATUS CheckValueName(std::u16string_view name) {
  if (name.size() > kRegistryMaxValueNameLength || name.find(u'\0') != std::u16string_view::npos) {
    return STATUS_INVALID_PARAMETER;
  }
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS RegistryHive::QueryValue(const RegistryCaller& caller, RegistryHandle key, std::u16string_view name,
                                  ULONG* type, std::vector<BYTE>* data) {
  NTSTATUS status = CheckValueName(name);
  if (!NT_SUCCESS(status)) return status;
  std::lock_guard lock(mutex_);
  const OpenedKey* opened;
  status = Existing(caller, key, KEY_QUERY_VALUE, &opened);
  if (!NT_SUCCESS(status)) return status;
  return store_->GetValue(opened->id, FoldRegistryName(name), type, data);
}

NTSTATUS RegistryHive::SetValue(const RegistryCaller& caller, RegistryHandle key, std::u16string_view name,
                                ULONG type, const void* data, size_t length) {
  NTSTATUS status = CheckValueName(name);
  if (!NT_SUCCESS(status)) return status;
  if (length > kRegistryMaxValueDataLength || (length && !data)) return STATUS_INVALID_PARAMETER;
  std::lock_guard lock(mutex_);
  const OpenedKey* opened;
  status = Existing(caller, key, KEY_SET_VALUE, &opened);
  if (!NT_SUCCESS(status)) return status;
  int64_t id = opened->id;
  return store_->InTransaction([&] {
    NTSTATUS step = store_->PutValue(id, name, FoldRegistryName(name), type, data, length);
    if (!NT_SUCCESS(step)) return step;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return store_->SetLastWriteTime(id, now.QuadPart);
  });
}

NTSTATUS RegistryHive::DeleteValue(const RegistryCaller& caller, RegistryHandle key, std::u16string_view name) {
  NTSTATUS status = CheckValueName(name);
  if (!NT_SUCCESS(status)) return status;
  std::lock_guard lock(mutex_);
  const OpenedKey* opened;
  status = Existing(caller, key, KEY_SET_VALUE, &opened);
  if (!NT_SUCCESS(status)) return status;
  int64_t id = opened->id;
  return store_->InTransaction([&] {
    NTSTATUS step = store_->RemoveValue(id, FoldRegistryName(name));
    if (!NT_SUCCESS(step)) return step;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return store_->SetLastWriteTime(id, now.QuadPart);
  });
}

NTSTATUS RegistryHive::EnumerateValue(const RegistryCaller& caller, RegistryHandle key, ULONG index,
                                      std::u16string* name, ULONG* type, std::vector<BYTE>* data) {
  std::lock_guard lock(mutex_);
  const OpenedKey* opened;
  NTSTATUS status = Existing(caller, key, KEY_QUERY_VALUE, &opened);
  if (!NT_SUCCESS(status)) return status;
  return store_->ValueAt(opened->id, index, name, type, data);
}

}  // namespace nb::kernel
