// The SQLite tables under the registry hive: keys (a tree by parent row) and their values.
// Names are stored as given and as folded (upcased) UTF-16 blobs; lookups and order use
// the folded form, so names compare ignoring case and enumerate in a stable order.
// Not thread-safe: the hive serialises every call.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <ntifs.h>

#include "nb/registry_types.h"

struct sqlite3;
struct sqlite3_stmt;

namespace nb::kernel {

class RegistryStore {
 public:
  // The parent row of the topmost key (\Registry); no key has this row.
  static constexpr int64_t kTop = 0;

  // Opens the hive file `path` (made when missing; WAL journal, each commit synced), or
  // a hive in memory for an empty path.
  [[nodiscard]] static NTSTATUS Open(const std::string& path, std::unique_ptr<RegistryStore>* store);
  ~RegistryStore();
  RegistryStore(const RegistryStore&) = delete;
  RegistryStore& operator=(const RegistryStore&) = delete;

  // Runs `work` in one transaction, committed when it succeeds and rolled back otherwise.
  template <typename Work>
  [[nodiscard]] NTSTATUS InTransaction(Work work) {
    NTSTATUS status = Begin();
    if (!NT_SUCCESS(status)) return status;
    status = work();
    if (!NT_SUCCESS(status)) {
      Rollback();
      return status;
    }
    NTSTATUS committed = Commit();
    return NT_SUCCESS(committed) ? status : committed;
  }

  // Keys. STATUS_OBJECT_NAME_NOT_FOUND when there is no such subkey.
  [[nodiscard]] NTSTATUS FindSubKey(int64_t parent, std::u16string_view folded, int64_t* key);
  [[nodiscard]] NTSTATUS AddSubKey(int64_t parent, std::u16string_view name, std::u16string_view folded,
                                   LONGLONG time, int64_t* key);
  // STATUS_KEY_DELETED when the row is gone.
  [[nodiscard]] NTSTATUS KeyExists(int64_t key);
  [[nodiscard]] NTSTATUS ParentOf(int64_t key, int64_t* parent);
  [[nodiscard]] NTSTATUS HasSubKeys(int64_t key, bool* has);
  // Removes the key with its values (its subkeys must be gone).
  [[nodiscard]] NTSTATUS RemoveKey(int64_t key);
  [[nodiscard]] NTSTATUS SetLastWriteTime(int64_t key, LONGLONG time);
  // The index-th subkey by folded name; STATUS_NO_MORE_ENTRIES past the end.
  [[nodiscard]] NTSTATUS SubKeyAt(int64_t key, ULONG index, std::u16string* name, LONGLONG* lastWriteTime);
  [[nodiscard]] NTSTATUS KeyInfo(int64_t key, RegistryKeyInfo* info);

  // Values. STATUS_OBJECT_NAME_NOT_FOUND when there is no such value.
  [[nodiscard]] NTSTATUS GetValue(int64_t key, std::u16string_view folded, ULONG* type, std::vector<BYTE>* data);
  // Stores the value; one of the same folded name keeps its name and takes the new data.
  [[nodiscard]] NTSTATUS PutValue(int64_t key, std::u16string_view name, std::u16string_view folded, ULONG type,
                                  const void* data, size_t length);
  [[nodiscard]] NTSTATUS RemoveValue(int64_t key, std::u16string_view folded);
  // The index-th value by folded name; STATUS_NO_MORE_ENTRIES past the end.
  [[nodiscard]] NTSTATUS ValueAt(int64_t key, ULONG index, std::u16string* name, ULONG* type,
                                 std::vector<BYTE>* data);

 private:
  explicit RegistryStore(sqlite3* db) : db_(db) {}
  [[nodiscard]] NTSTATUS Prepare();
  [[nodiscard]] NTSTATUS Begin();
  [[nodiscard]] NTSTATUS Commit();
  void Rollback();

  sqlite3* db_;
  std::vector<sqlite3_stmt*> statements_;  // by the order of kStatements in the .cpp
};

}  // namespace nb::kernel
