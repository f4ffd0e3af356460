// Events through the in-process transport: kernel handles filed under the value libnbwin
// chose, acting in the process that made them.
#include <vector>

#include "nb/kernel/events.h"
#include "nb/kernel/kernel.h"
#include "nb/kernel/process.h"
#include "nb/win/in_process.h"

namespace nb::win {

namespace {

TransportObject Encode(ULONG processId, HANDLE handle) {
  return (TransportObject{processId} << 32) | static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle)) |
         kKernelHandleObject;
}
ULONG ProcessOf(TransportObject object) { return static_cast<ULONG>(object >> 32); }
HANDLE HandleOf(TransportObject object) {
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(static_cast<uint32_t>(object) & ~kKernelHandleObject));
}

ULONG CurrentProcessId() { return kernel::ProcessTable::IdOf(kernel::CurrentProcess()); }

// Runs `call` in the process that owns the handle object; STATUS_INVALID_HANDLE when the
// object is not a kernel handle or its process has ended.
template <typename Call>
NTSTATUS InOwner(TransportObject object, Call call) {
  kernel::Kernel* kernel = kernel::Kernel::Current();
  if (!kernel || !IsKernelHandleObject(object)) return STATUS_INVALID_HANDLE;
  PEPROCESS owner = kernel->Processes().Find(ProcessOf(object));
  if (!owner) return STATUS_INVALID_HANDLE;
  kernel::ProcessScope scope(owner);
  return call(HandleOf(object));
}

}  // namespace

bool IsKernelHandleObject(TransportObject object) { return (object & kKernelHandleObject) != 0; }

void CloseKernelHandleObject(TransportObject object) {
  (void)InOwner(object, [](HANDLE handle) { return kernel::NtClose(handle); });
}

NTSTATUS InProcessTransport::CreateEventObject(HANDLE handle, const std::u16string& objectName, bool manualReset,
                                               bool initialState, TransportObject* object) {
  *object = 0;
  if (!kernel::Kernel::Current()) return STATUS_NO_SUCH_DEVICE;
  HANDLE created;
  NTSTATUS status = kernel::NtCreateEvent(&created, EVENT_ALL_ACCESS, objectName,
                                          manualReset ? NotificationEvent : SynchronizationEvent,
                                          initialState ? TRUE : FALSE, handle);
  if (NT_SUCCESS(status)) *object = Encode(CurrentProcessId(), created);
  return status;
}

NTSTATUS InProcessTransport::OpenEventObject(HANDLE handle, const std::u16string& objectName,
                                             ACCESS_MASK desiredAccess, TransportObject* object) {
  *object = 0;
  if (!kernel::Kernel::Current()) return STATUS_NO_SUCH_DEVICE;
  HANDLE opened;
  NTSTATUS status = kernel::NtOpenEvent(&opened, desiredAccess, objectName, handle);
  if (NT_SUCCESS(status)) *object = Encode(CurrentProcessId(), opened);
  return status;
}

NTSTATUS InProcessTransport::SetEventObject(TransportObject object, bool signalled) {
  return InOwner(object, [signalled](HANDLE handle) {
    return signalled ? kernel::NtSetEvent(handle, nullptr) : kernel::NtResetEvent(handle, nullptr);
  });
}

NTSTATUS InProcessTransport::WaitForObjects(const TransportObject* objects, ULONG count, bool waitAll,
                                            const LARGE_INTEGER* timeout) {
  if (count == 0) return STATUS_INVALID_PARAMETER;
  // One process waits: handles made in another process are not its handles.
  std::vector<HANDLE> handles;
  for (ULONG i = 0; i < count; ++i) {
    if (!IsKernelHandleObject(objects[i]) || ProcessOf(objects[i]) != ProcessOf(objects[0])) {
      return STATUS_INVALID_HANDLE;
    }
    handles.push_back(HandleOf(objects[i]));
  }
  return InOwner(objects[0], [&](HANDLE) {
    return kernel::NtWaitForMultipleObjects(count, handles.data(), waitAll ? WaitAll : WaitAny, timeout);
  });
}

}  // namespace nb::win
