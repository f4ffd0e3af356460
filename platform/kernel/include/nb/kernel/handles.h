// Per-process handle tables: small integer handles that name referenced kernel objects,
// valid only in the process that opened them. Kernel handles carry kKernelHandleFlag and
// live in a table of their own, apart from the System process's user handles (whose
// values a user-mode library may choose); only kernel-mode callers may use them.
#pragma once

#include <map>
#include <mutex>
#include <vector>

#include <ntifs.h>

// What a handle refers to; ExEventObjectType and IoFileObjectType point at instances.
struct _OBJECT_TYPE {
  const char* name;
};

namespace nb::kernel {

inline constexpr ULONG kKernelHandleFlag = 0x80000000;
// Handles are multiples of 4 below kKernelHandleFlag; this bounds a table's growth.
inline constexpr size_t kMaxHandlesPerProcess = 1u << 20;

struct HandleLookup {
  void* object = nullptr;  // referenced for the caller
  POBJECT_TYPE type = nullptr;
  ACCESS_MASK granted = 0;
};

class HandleTables {
 public:
  HandleTables() = default;
  ~HandleTables();
  HandleTables(const HandleTables&) = delete;
  HandleTables& operator=(const HandleTables&) = delete;

  // Enters `object` in the table of `processId` (or the kernel table) under the lowest
  // free handle. The handle takes over one reference the caller holds on the object.
  [[nodiscard]] NTSTATUS Insert(ULONG processId, bool kernelHandle, void* object, POBJECT_TYPE type,
                                ACCESS_MASK granted, HANDLE* handle);
  // The same under a handle value the caller chose (a user-mode library that numbers the
  // handles of its process itself); STATUS_INVALID_HANDLE when the value is not a user
  // handle value or is already open.
  [[nodiscard]] NTSTATUS InsertAt(ULONG processId, HANDLE handle, void* object, POBJECT_TYPE type,
                                  ACCESS_MASK granted);
  // References the object of a handle as seen from `processId` and `mode`, checking its
  // type (when `type` is given) and, for UserMode, the granted access.
  [[nodiscard]] NTSTATUS Reference(ULONG processId, KPROCESSOR_MODE mode, HANDLE handle, POBJECT_TYPE type,
                                   ACCESS_MASK desiredAccess, HandleLookup* lookup);
  // Closes the handle and drops its reference.
  [[nodiscard]] NTSTATUS Close(ULONG processId, KPROCESSOR_MODE mode, HANDLE handle);
  // Closes every handle of a process that has ended.
  void CloseProcess(ULONG processId);
  // Closes every handle of every process (the kernel stops).
  void CloseAll();
  // Open handles of a process; kernel handles are counted apart.
  size_t Count(ULONG processId) const;
  size_t KernelCount() const;

 private:
  struct Slot {
    void* object = nullptr;  // null: free
    POBJECT_TYPE type = nullptr;
    ACCESS_MASK granted = 0;
  };
  // The slot a handle names, or null; mutex_ is held.
  Slot* Find(ULONG processId, KPROCESSOR_MODE mode, HANDLE handle);
  static void ReleaseObjects(std::vector<void*>& objects);
  static size_t CountOpen(const std::vector<Slot>& slots);

  mutable std::mutex mutex_;  // taken before the object reference lock
  std::map<ULONG, std::vector<Slot>> tables_;
  std::vector<Slot> kernel_;
};

}  // namespace nb::kernel
