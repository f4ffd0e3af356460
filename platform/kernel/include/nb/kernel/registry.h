// The machine's registry hive: a tree of keys holding typed values, kept in SQLite (a file
// for a machine root, memory by default), reached through key handles that the hive hands
// out to the processes that open keys. Key and value names are compared ignoring case and
// stored as given. Every request is one transaction: a write lands whole or not at all.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <ntifs.h>

#include "nb/registry_types.h"

namespace nb::kernel {

class RegistryStore;

// Who sends a registry request: the Linux user it runs as (writes under \Registry\Machine
// need root) and the process whose key handles it may use.
struct RegistryCaller {
  uint32_t uid = 0;
  ULONG processId = 0;
};

// A key handle of the hive, valid for the process that opened it; never 0, a multiple of 4.
using RegistryHandle = uint32_t;

class RegistryHive {
 public:
  // An empty hive in memory holding the fixed keys (\Registry\Machine, \Registry\User ...).
  RegistryHive();
  ~RegistryHive();
  RegistryHive(const RegistryHive&) = delete;
  RegistryHive& operator=(const RegistryHive&) = delete;

  // Takes the hive stored in `path` (made when missing) in place of the current one.
  // Open key handles become invalid. STATUS_REGISTRY_CORRUPT when the file is no hive.
  [[nodiscard]] NTSTATUS Load(const std::string& path);

  // Opens or (with `create`) creates the key `subKey` below the open key `parent`, or
  // below `root` when `parent` is 0; intermediate keys are created too. `disposition`
  // (optional) gets REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY.
  [[nodiscard]] NTSTATUS OpenKey(const RegistryCaller& caller, RegistryHandle parent, RegistryRoot root,
                                 std::u16string_view subKey, ACCESS_MASK desiredAccess, bool create,
                                 RegistryHandle* key, ULONG* disposition = nullptr);
  [[nodiscard]] NTSTATUS CloseKey(const RegistryCaller& caller, RegistryHandle key);
  // Closes every key handle of a process that has ended.
  void CloseKeysOf(ULONG processId);
  size_t OpenKeyCount() const;

  // Deletes the key of the handle (opened with DELETE); STATUS_CANNOT_DELETE while it has
  // subkeys and for the fixed keys. Later requests on its handles get STATUS_KEY_DELETED.
  [[nodiscard]] NTSTATUS DeleteKey(const RegistryCaller& caller, RegistryHandle key);
  // The index-th subkey in name order ignoring case; STATUS_NO_MORE_ENTRIES past the end.
  [[nodiscard]] NTSTATUS EnumerateKey(const RegistryCaller& caller, RegistryHandle key, ULONG index,
                                      std::u16string* name, LONGLONG* lastWriteTime);
  [[nodiscard]] NTSTATUS QueryKeyInfo(const RegistryCaller& caller, RegistryHandle key, RegistryKeyInfo* info);

  // Values; the empty name is the key's default value.
  [[nodiscard]] NTSTATUS QueryValue(const RegistryCaller& caller, RegistryHandle key, std::u16string_view name,
                                    ULONG* type, std::vector<BYTE>* data);
  [[nodiscard]] NTSTATUS SetValue(const RegistryCaller& caller, RegistryHandle key, std::u16string_view name,
                                  ULONG type, const void* data, size_t length);
  [[nodiscard]] NTSTATUS DeleteValue(const RegistryCaller& caller, RegistryHandle key, std::u16string_view name);
  // The index-th value in name order ignoring case; STATUS_NO_MORE_ENTRIES past the end.
  [[nodiscard]] NTSTATUS EnumerateValue(const RegistryCaller& caller, RegistryHandle key, ULONG index,
                                        std::u16string* name, ULONG* type, std::vector<BYTE>* data);

 private:
  // Bounds the handle table, so that a process opening keys in a loop cannot exhaust memory.
  static constexpr size_t kMaxOpenKeys = size_t{1} << 20;

  struct OpenedKey {
    int64_t id = 0;  // row of the key in the store
    ACCESS_MASK granted = 0;
    ULONG owner = 0;
    std::vector<std::u16string> path;  // folded components from "REGISTRY"
  };

  // The open key of a handle with `access` granted; mutex_ is held.
  [[nodiscard]] NTSTATUS Opened(const RegistryCaller& caller, RegistryHandle key, ACCESS_MASK access,
                                const OpenedKey** opened) const;
  // As Opened, and the key must still exist.
  [[nodiscard]] NTSTATUS Existing(const RegistryCaller& caller, RegistryHandle key, ACCESS_MASK access,
                                  const OpenedKey** opened) const;
  [[nodiscard]] NTSTATUS InsertHandle(OpenedKey opened, RegistryHandle* key);
  // Makes the fixed keys that are missing, in one transaction.
  [[nodiscard]] static NTSTATUS EnsureFixedKeys(RegistryStore& store);
  // Finds or makes the key at `path` (components from "REGISTRY") and its parents, with
  // no access check: the machine's own keys. A transaction is open.
  [[nodiscard]] static NTSTATUS EnsureKey(RegistryStore& store, const std::vector<std::u16string>& path,
                                          int64_t* key);

  mutable std::mutex mutex_;  // one request at a time; guards store_ and handles_
  std::unique_ptr<RegistryStore> store_;
  std::map<RegistryHandle, OpenedKey> handles_;
  RegistryHandle nextHandle_ = 4;
};

}  // namespace nb::kernel
