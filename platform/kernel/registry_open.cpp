// Opening and creating registry keys.
#include "nb/kernel/registry.h"
#include "nb/kernel/registry_rules.h"
#include "registry_store.h"

namespace nb::kernel {

NTSTATUS RegistryHive::OpenKey(const RegistryCaller& caller, RegistryHandle parent, RegistryRoot root,
                               std::u16string_view subKey, ACCESS_MASK desiredAccess, bool create,
                               RegistryHandle* key, ULONG* disposition) {
  *key = 0;
  if (disposition) *disposition = 0;
  bool absolute = parent == 0 && root == RegistryRoot::kAbsolute;
  std::vector<std::u16string> names;
  NTSTATUS status = absolute ? SplitAbsoluteKeyPath(subKey, &names) : SplitKeyPath(subKey, &names);
  if (!NT_SUCCESS(status)) return status;
  ACCESS_MASK desired = MapKeyAccess(desiredAccess);

  std::lock_guard lock(mutex_);
  if (!store_) return STATUS_REGISTRY_IO_FAILED;
  if (handles_.size() >= kMaxOpenKeys) return STATUS_INSUFFICIENT_RESOURCES;
  // Where the walk starts: an open key, a predefined root (made when missing, as the
  // current user's key is on its first use), or above \Registry.
  int64_t current = RegistryStore::kTop;
  std::vector<std::u16string> path;  // folded, from "REGISTRY"
  std::vector<std::u16string> rootPath;
  if (parent != 0) {
    const OpenedKey* base;
    status = Existing(caller, parent, 0, &base);
    if (!NT_SUCCESS(status)) return status;
    current = base->id;
    path = base->path;
  } else if (!absolute) {
    rootPath = RootKeyPath(root, caller.uid);
    if (rootPath.empty()) return STATUS_INVALID_HANDLE;
    for (const auto& name : rootPath) path.push_back(FoldRegistryName(name));
  }
  if (path.size() + names.size() > kRegistryMaxDepth) return STATUS_INVALID_PARAMETER;

  OpenedKey opened;
  opened.owner = caller.processId;
  ULONG outcome = REG_OPENED_EXISTING_KEY;
  status = store_->InTransaction([&] {
    NTSTATUS step = rootPath.empty() ? STATUS_SUCCESS : EnsureKey(*store_, rootPath, &current);
    if (!NT_SUCCESS(step)) return step;
    for (const std::u16string& name : names) {
      std::u16string folded = FoldRegistryName(name);
      path.push_back(folded);
      int64_t child = 0;
      step = store_->FindSubKey(current, folded, &child);
      if (step == STATUS_OBJECT_NAME_NOT_FOUND && create) {
        // A key is made where its maker may then write.
        if (!(AllowedKeyAccess(caller.uid, path) & KEY_CREATE_SUB_KEY)) return STATUS_ACCESS_DENIED;
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        step = store_->AddSubKey(current, name, folded, now.QuadPart, &child);
        if (NT_SUCCESS(step)) step = store_->SetLastWriteTime(current, now.QuadPart);
        outcome = REG_CREATED_NEW_KEY;
      }
      if (!NT_SUCCESS(step)) return step;
      current = child;
    }
    ACCESS_MASK allowed = AllowedKeyAccess(caller.uid, path);
    ACCESS_MASK granted = desired & ~MAXIMUM_ALLOWED;
    if (desired & MAXIMUM_ALLOWED) granted |= allowed;
    if (granted & ~allowed) return STATUS_ACCESS_DENIED;  // nothing made stays
    opened.granted = granted;
    return STATUS_SUCCESS;
  });
  if (!NT_SUCCESS(status)) return status;
  opened.id = current;
  opened.path = std::move(path);
  status = InsertHandle(std::move(opened), key);
  if (NT_SUCCESS(status) && disposition) *disposition = outcome;
  return status;
}

}  // namespace nb::kernel
