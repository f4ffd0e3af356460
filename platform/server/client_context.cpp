// The objects one client process holds through requests.
#include <utility>

#include "nb/kernel/events.h"
#include "nb/kernel/io.h"
#include "nb/kernel/kernel.h"
#include "nb/kernel/process.h"
#include "nb/server/server.h"

namespace nb::server {

kernel::RegistryCaller ClientContext::RegistryCaller() const {
  return kernel::RegistryCaller{User(), kernel::ProcessTable::IdOf(process_)};
}

kernel::ServiceCaller ClientContext::ServiceCaller() const {
  return kernel::ServiceCaller{User(), kernel::ProcessTable::IdOf(process_)};
}

NTSTATUS ClientContext::AddServiceHandle(kernel::ServiceHandle handle, uint64_t* value) {
  return Add(Entry{.service = handle}, value);
}

NTSTATUS ClientContext::AddFile(PFILE_OBJECT file, uint64_t* value) { return Add(Entry{.file = file}, value); }

NTSTATUS ClientContext::AddKernelHandle(HANDLE handle, uint64_t* value) { return Add(Entry{.handle = handle}, value); }

NTSTATUS ClientContext::AddRegistryKey(kernel::RegistryHandle key, uint64_t* value) {
  return Add(Entry{.key = key}, value);
}

NTSTATUS ClientContext::Add(Entry entry, uint64_t* value) {
  *value = 0;
  NTSTATUS status = STATUS_SUCCESS;
  {
    std::lock_guard lock(mutex_);
    if (closed_) {
      status = STATUS_PROCESS_IS_TERMINATING;
    } else if (!free_.empty()) {
      size_t slot = free_.back();
      free_.pop_back();
      entries_[slot] = entry;
      *value = (slot + 1) * 4;
    } else if (entries_.size() >= kMaxObjects) {
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      entries_.push_back(entry);
      *value = entries_.size() * 4;
    }
    if (NT_SUCCESS(status)) ++count_;
  }
  if (!NT_SUCCESS(status)) Release(entry);
  return status;
}

const ClientContext::Entry* ClientContext::Find(uint64_t value) const {
  if (value == 0 || value % 4 != 0 || value / 4 > entries_.size()) return nullptr;
  const Entry& entry = entries_[value / 4 - 1];
  return entry.InUse() ? &entry : nullptr;
}

NTSTATUS ClientContext::ReferenceFile(uint64_t value, PFILE_OBJECT* file) const {
  *file = nullptr;
  std::lock_guard lock(mutex_);
  const Entry* entry = Find(value);
  if (!entry) return STATUS_INVALID_HANDLE;
  if (!entry->file) return STATUS_OBJECT_TYPE_MISMATCH;
  ObReferenceObject(entry->file);
  *file = entry->file;
  return STATUS_SUCCESS;
}

NTSTATUS ClientContext::KernelHandleOf(uint64_t value, HANDLE* handle) const {
  *handle = nullptr;
  std::lock_guard lock(mutex_);
  const Entry* entry = Find(value);
  if (!entry) return STATUS_INVALID_HANDLE;
  if (!entry->handle) return STATUS_OBJECT_TYPE_MISMATCH;
  *handle = entry->handle;
  return STATUS_SUCCESS;
}

NTSTATUS ClientContext::RegistryKeyOf(uint64_t value, kernel::RegistryHandle* key) const {
  *key = 0;
  std::lock_guard lock(mutex_);
  const Entry* entry = Find(value);
  if (!entry) return STATUS_INVALID_HANDLE;
  if (!entry->key) return STATUS_OBJECT_TYPE_MISMATCH;
  *key = entry->key;
  return STATUS_SUCCESS;
}

NTSTATUS ClientContext::ServiceHandleOf(uint64_t value, kernel::ServiceHandle* handle) const {
  *handle = 0;
  std::lock_guard lock(mutex_);
  const Entry* entry = Find(value);
  if (!entry) return STATUS_INVALID_HANDLE;
  if (!entry->service) return STATUS_OBJECT_TYPE_MISMATCH;
  *handle = entry->service;
  return STATUS_SUCCESS;
}

NTSTATUS ClientContext::Close(uint64_t value) {
  Entry closing;
  {
    std::lock_guard lock(mutex_);
    const Entry* entry = Find(value);
    if (!entry) return STATUS_INVALID_HANDLE;
    closing = std::exchange(entries_[value / 4 - 1], Entry{});
    free_.push_back(value / 4 - 1);
    --count_;
  }
  Release(closing);
  return STATUS_SUCCESS;
}

void ClientContext::CloseAll() {
  std::vector<Entry> closing;
  bool closedBefore;
  {
    std::lock_guard lock(mutex_);
    closedBefore = std::exchange(closed_, true);
    closing = std::exchange(entries_, {});
    free_.clear();
    count_ = 0;
  }
  for (const Entry& entry : closing) {
    if (entry.InUse()) Release(entry);
  }
  // Its threads are gone with it: what they owned is abandoned to the next waiter. Once
  // only: after Abandon the process may have gone with its kernel.
  if (!closedBefore && kernel::Kernel::Current()) {
    kernel::AbandonProcessMutants(kernel::ProcessTable::IdOf(process_));
  }
}

void ClientContext::Abandon() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  entries_.clear();
  free_.clear();
  count_ = 0;
}

size_t ClientContext::Count() const {
  std::lock_guard lock(mutex_);
  return count_;
}

// Closing runs in the client's process, as the close of a dying process's handles does.
void ClientContext::Release(const Entry& entry) const {
  kernel::ProcessScope scope(process_);
  if (entry.file) {
    kernel::CloseFile(entry.file);
  } else if (entry.handle) {
    (void)kernel::NtClose(entry.handle);
  } else if (entry.service) {
    kernel::Kernel* kernel = kernel::Kernel::Current();
    if (kernel) (void)kernel->Services().CloseHandle(kernel::ProcessTable::IdOf(process_), entry.service);
  } else {
    // Closing needs no rights; the hive checks only that the key is the process's.
    kernel::Kernel* kernel = kernel::Kernel::Current();
    if (kernel) (void)kernel->Registry().CloseKey(RegistryCaller(), entry.key);
  }
}

}  // namespace nb::server
