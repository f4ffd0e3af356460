// Process objects as byte blobs, and each thread's current process.
#include "nb/kernel/process.h"

#include <cstring>

#include "nb/kernel/kernel.h"

namespace nb::kernel {

namespace {
thread_local PEPROCESS currentProcess = nullptr;

void WriteIdentity(unsigned char* blob, ULONG id, std::string_view imageName) {
  std::memcpy(blob + kProcessIdOffset, &id, sizeof id);
  std::memset(blob + kProcessNameOffset, 0, kProcessNameLength);
  std::memcpy(blob + kProcessNameOffset, imageName.data(), std::min(imageName.size(), kProcessNameLength - 1));
}
}  // namespace

ProcessTable::ProcessTable() { system_ = Get(kSystemProcessId, "System"); }

ProcessTable::~ProcessTable() = default;

ProcessTable::Entry& ProcessTable::EntryOf(ULONG id, std::string_view imageName) {
  Entry& entry = processes_[id];
  if (!entry.blob) {
    entry.blob = std::make_unique_for_overwrite<unsigned char[]>(kProcessObjectSize);
    std::memset(entry.blob.get(), 0, kProcessObjectSize);
    WriteIdentity(entry.blob.get(), id, imageName);
  } else if (NameOf(reinterpret_cast<PEPROCESS>(entry.blob.get())) !=
             imageName.substr(0, std::min(imageName.size(), kProcessNameLength - 1))) {
    // Rewritten only when it changes: other threads read the name of a live process
    // without the table's lock.
    WriteIdentity(entry.blob.get(), id, imageName);
  }
  return entry;
}

PEPROCESS ProcessTable::Get(ULONG id, std::string_view imageName) {
  std::lock_guard lock(mutex_);
  Entry& entry = EntryOf(id, imageName);
  entry.permanent = true;
  return reinterpret_cast<PEPROCESS>(entry.blob.get());
}

PEPROCESS ProcessTable::Find(ULONG id) const {
  std::lock_guard lock(mutex_);
  auto it = processes_.find(id);
  return it == processes_.end() ? nullptr : reinterpret_cast<PEPROCESS>(it->second.blob.get());
}

PEPROCESS ProcessTable::Acquire(ULONG id, std::string_view imageName) {
  std::lock_guard lock(mutex_);
  Entry& entry = EntryOf(id, imageName);
  ++entry.holders;
  return reinterpret_cast<PEPROCESS>(entry.blob.get());
}

bool ProcessTable::Release(ULONG id) {
  std::lock_guard lock(mutex_);
  auto it = processes_.find(id);
  if (it == processes_.end() || it->second.holders == 0) return false;
  if (--it->second.holders > 0 || it->second.permanent || id == kSystemProcessId) return false;
  processes_.erase(it);
  return true;
}

ULONG ProcessTable::IdOf(PEPROCESS process) {
  ULONG id;
  std::memcpy(&id, reinterpret_cast<unsigned char*>(process) + kProcessIdOffset, sizeof id);
  return id;
}

std::string ProcessTable::NameOf(PEPROCESS process) {
  const char* name = reinterpret_cast<const char*>(process) + kProcessNameOffset;
  return std::string(name, strnlen(name, kProcessNameLength));
}

PEPROCESS CurrentProcess() { return currentProcess ? currentProcess : CurrentKernel().Processes().System(); }

void SetCurrentProcess(PEPROCESS process) { currentProcess = process; }

}  // namespace nb::kernel

PEPROCESS PsGetCurrentProcess() { return nb::kernel::CurrentProcess(); }
PEPROCESS IoGetCurrentProcess() { return nb::kernel::CurrentProcess(); }

HANDLE PsGetProcessId(PEPROCESS process) {
  return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(nb::kernel::ProcessTable::IdOf(process)));
}

HANDLE PsGetCurrentProcessId() { return PsGetProcessId(PsGetCurrentProcess()); }

HANDLE PsGetCurrentThreadId() {
  static std::atomic<ULONG_PTR> next{1000};
  thread_local ULONG_PTR id = next.fetch_add(4);
  return reinterpret_cast<HANDLE>(id);
}
