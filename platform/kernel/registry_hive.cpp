// The registry hive: its store, the fixed keys and the key handles.
#include "nb/kernel/registry.h"

#include <cassert>

#include "nb/kernel/registry_rules.h"
#include "registry_store.h"

namespace nb::kernel {

namespace {

// The keys every hive has, in creation order.
const std::vector<std::vector<std::u16string>>& FixedKeys() {
  static const std::vector<std::vector<std::u16string>> keys = {
      RootKeyPath(RegistryRoot::kLocalMachine, 0),
      {u"REGISTRY", u"MACHINE", u"SOFTWARE"},
      RootKeyPath(RegistryRoot::kClassesRoot, 0),
      {u"REGISTRY", u"MACHINE", u"SYSTEM"},
      RootKeyPath(RegistryRoot::kCurrentConfig, 0),
      RootKeyPath(RegistryRoot::kUsers, 0),
  };
  return keys;
}

}  // namespace

RegistryHive::RegistryHive() {
  std::unique_ptr<RegistryStore> store;
  NTSTATUS status = RegistryStore::Open({}, &store);
  if (NT_SUCCESS(status)) status = EnsureFixedKeys(*store);
  assert(NT_SUCCESS(status) && "an empty hive in memory can be made");
  if (NT_SUCCESS(status)) store_ = std::move(store);
}

RegistryHive::~RegistryHive() = default;

NTSTATUS RegistryHive::Load(const std::string& path) {
  std::unique_ptr<RegistryStore> store;
  NTSTATUS status = RegistryStore::Open(path, &store);
  if (NT_SUCCESS(status)) status = EnsureFixedKeys(*store);
  if (!NT_SUCCESS(status)) return status;
  std::lock_guard lock(mutex_);
  handles_.clear();
  store_ = std::move(store);
  return STATUS_SUCCESS;
}

NTSTATUS RegistryHive::EnsureFixedKeys(RegistryStore& store) {
  return store.InTransaction([&] {
    for (const auto& path : FixedKeys()) {
      int64_t key;
      NTSTATUS status = EnsureKey(store, path, &key);
      if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
  });
}

NTSTATUS RegistryHive::EnsureKey(RegistryStore& store, const std::vector<std::u16string>& path, int64_t* key) {
  int64_t current = RegistryStore::kTop;
  for (const std::u16string& name : path) {
    std::u16string folded = FoldRegistryName(name);
    int64_t child;
    NTSTATUS status = store.FindSubKey(current, folded, &child);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
      LARGE_INTEGER now;
      KeQuerySystemTime(&now);
      status = store.AddSubKey(current, name, folded, now.QuadPart, &child);
    }
    if (!NT_SUCCESS(status)) return status;
    current = child;
  }
  *key = current;
  return STATUS_SUCCESS;
}

NTSTATUS RegistryHive::InsertHandle(OpenedKey opened, RegistryHandle* key) {
  if (handles_.size() >= kMaxOpenKeys) return STATUS_INSUFFICIENT_RESOURCES;
  // Values are multiples of 4 and never 0; after a wrap the next free one is taken.
  while (handles_.contains(nextHandle_) || nextHandle_ == 0) nextHandle_ += 4;
  *key = nextHandle_;
  nextHandle_ += 4;
  handles_.emplace(*key, std::move(opened));
  return STATUS_SUCCESS;
}

NTSTATUS RegistryHive::Opened(const RegistryCaller& caller, RegistryHandle key, ACCESS_MASK access,
                              const OpenedKey** opened) const {
  auto it = handles_.find(key);
  if (it == handles_.end() || it->second.owner != caller.processId) return STATUS_INVALID_HANDLE;
  if ((it->second.granted & access) != access) return STATUS_ACCESS_DENIED;
  *opened = &it->second;
  return STATUS_SUCCESS;
}

NTSTATUS RegistryHive::Existing(const RegistryCaller& caller, RegistryHandle key, ACCESS_MASK access,
                                const OpenedKey** opened) const {
  NTSTATUS status = Opened(caller, key, access, opened);
  if (!NT_SUCCESS(status)) return status;
  return store_->KeyExists((*opened)->id);
}

NTSTATUS RegistryHive::CloseKey(const RegistryCaller& caller, RegistryHandle key) {
  std::lock_guard lock(mutex_);
  const OpenedKey* opened;
  NTSTATUS status = Opened(caller, key, 0, &opened);
  if (!NT_SUCCESS(status)) return status;
  handles_.erase(key);
  return STATUS_SUCCESS;
}

void RegistryHive::CloseKeysOf(ULONG processId) {
  std::lock_guard lock(mutex_);
  std::erase_if(handles_, [processId](const auto& entry) { return entry.second.owner == processId; });
}

size_t RegistryHive::OpenKeyCount() const {
  std::lock_guard lock(mutex_);
  return handles_.size();
}

}  // namespace nb::kernel
