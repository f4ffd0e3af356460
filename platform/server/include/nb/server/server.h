// The machine's side of the request protocol. Each client process has one context: its
// process object, the Linux user it runs as, and the objects it opened through requests, named by small handle
// values that mean something in that context only. One dispatcher decodes a request
// message, serves it in the client's identity and encodes the reply; the socket server
// and the in-process loopback both call it, so they serve exactly the same requests.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include <ntifs.h>

#include "nb/kernel/registry.h"
#include "nb/kernel/service_manager.h"

namespace nb::server {

class ClientContext {
 public:
  // Values are multiples of 4 from 4, and this many at most, so that they fit 32 bits.
  static constexpr size_t kMaxObjects = size_t{1} << 20;

  // `process` must stay in the kernel's process table while the context lives; `uid` is
  // the Linux user the client runs as (the socket's peer, or whom an in-process machine
  // acts as): the registry grants by it.
  ClientContext(PEPROCESS process, uint32_t uid) : process_(process), uid_(uid) {}
  // Closes everything the client still holds.
  ~ClientContext() { CloseAll(); }
  ClientContext(const ClientContext&) = delete;
  ClientContext& operator=(const ClientContext&) = delete;

  PEPROCESS Process() const { return process_; }
  uint32_t User() const { return uid_.load(); }
  // For an in-process machine whose tests act as another user; objects already open keep
  // the rights they were opened with.
  void SetUser(uint32_t uid) { uid_.store(uid); }
  // Who the client is to the registry hive.
  kernel::RegistryCaller RegistryCaller() const;
  // Who the client is to the service manager.
  kernel::ServiceCaller ServiceCaller() const;

  // Enters a file object the client opened (taking over the open's reference), a kernel
  // handle of the client's process or a key handle of the registry hive the client
  // opened. On failure the object is closed at once.
  [[nodiscard]] NTSTATUS AddFile(PFILE_OBJECT file, uint64_t* value);
  [[nodiscard]] NTSTATUS AddKernelHandle(HANDLE handle, uint64_t* value);
  [[nodiscard]] NTSTATUS AddRegistryKey(kernel::RegistryHandle key, uint64_t* value);
  // A handle of the service manager (the manager or a service) the client opened.
  [[nodiscard]] NTSTATUS AddServiceHandle(kernel::ServiceHandle handle, uint64_t* value);
  // The file object a value names, referenced for the caller (ObDereferenceObject when
  // done), so that a close meanwhile cannot free it. STATUS_INVALID_HANDLE for a value
  // not open in this context, STATUS_OBJECT_TYPE_MISMATCH for a kernel handle.
  [[nodiscard]] NTSTATUS ReferenceFile(uint64_t value, PFILE_OBJECT* file) const;
  // The kernel handle a value names; the kernel validates it again on use.
  [[nodiscard]] NTSTATUS KernelHandleOf(uint64_t value, HANDLE* handle) const;
  // The hive's key handle a value names; the hive validates it again on use (a close
  // meanwhile makes the request fail with STATUS_INVALID_HANDLE).
  [[nodiscard]] NTSTATUS RegistryKeyOf(uint64_t value, kernel::RegistryHandle* key) const;
  // The service manager's handle a value names (validated again on use).
  [[nodiscard]] NTSTATUS ServiceHandleOf(uint64_t value, kernel::ServiceHandle* handle) const;
  // A file gets IRP_MJ_CLEANUP now and IRP_MJ_CLOSE with its last reference; a kernel
  // handle, a registry key or a service manager's handle is closed in the client's process.
  [[nodiscard]] NTSTATUS Close(uint64_t value);
  // Closes everything the client holds and refuses new objects from now on, with
  // STATUS_PROCESS_IS_TERMINATING: the client has gone away. The mutants its threads
  // own are abandoned.
  void CloseAll();
  // Forgets every object without closing it (the kernel that held them has gone).
  void Abandon();
  size_t Count() const;

 private:
  struct Entry {
    PFILE_OBJECT file = nullptr;  // one of the four is set while the entry is in use
    HANDLE handle = nullptr;
    kernel::RegistryHandle key = 0;
    kernel::ServiceHandle service = 0;
    bool InUse() const { return file || handle || key || service; }
  };

  NTSTATUS Add(Entry entry, uint64_t* value);
  // The entry of a value, or null; mutex_ is held.
  const Entry* Find(uint64_t value) const;
  void Release(const Entry& entry) const;

  PEPROCESS process_;
  std::atomic<uint32_t> uid_;
  mutable std::mutex mutex_;    // taken before the kernel's object reference lock
  std::vector<Entry> entries_;  // entry i is value 4 * (i + 1)
  std::vector<size_t> free_;
  size_t count_ = 0;
  bool closed_ = false;
};

// Serves one request message for `client` and returns the reply message. A message that
// does not decode gets a refusal with the decoder's status; nothing is served then. The
// request runs in the client's process; no lock of the dispatcher is held while it runs,
// so a waiting request does not hold up any other.
std::vector<uint8_t> DispatchRequest(ClientContext& client, std::span<const uint8_t> message);

}  // namespace nb::server
