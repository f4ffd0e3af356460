// Events and waits: kernel handles of the client's process, filed under the values its
// library chose, waited on without any lock of the dispatcher held.
#include "nb/kernel/events.h"
#include "requests.h"

namespace nb::server {

NTSTATUS Serve(ClientContext& client, const CreateEventRequest& request, CreateEventReply* reply) {
  HANDLE created = nullptr;
  NTSTATUS status = kernel::NtCreateEvent(&created, EVENT_ALL_ACCESS, request.objectName,
                                          request.manualReset ? NotificationEvent : SynchronizationEvent,
                                          request.initialState ? TRUE : FALSE, HandleValue(request.handle));
  return EnterOpenedHandle(client, status, created, &reply->object);
}

NTSTATUS Serve(ClientContext& client, const OpenEventRequest& request, OpenEventReply* reply) {
  HANDLE opened = nullptr;
  NTSTATUS status =
      kernel::NtOpenEvent(&opened, request.desiredAccess, request.objectName, HandleValue(request.handle));
  return EnterOpenedHandle(client, status, opened, &reply->object);
}

NTSTATUS Serve(ClientContext& client, const SetEventRequest& request, SetEventReply*) {
  HANDLE handle;
  NTSTATUS status = client.KernelHandleOf(request.object, &handle);
  if (!NT_SUCCESS(status)) return status;
  return request.signalled ? kernel::NtSetEvent(handle, nullptr) : kernel::NtResetEvent(handle, nullptr);
}

NTSTATUS Serve(ClientContext& client, const WaitForObjectsRequest& request, WaitForObjectsReply*) {
  std::vector<HANDLE> handles(request.objects.size());
  for (size_t i = 0; i < handles.size(); ++i) {
    NTSTATUS status = client.KernelHandleOf(request.objects[i], &handles[i]);
    if (!NT_SUCCESS(status)) return status;
  }
  LARGE_INTEGER timeout{};
  timeout.QuadPart = request.timeout;
  // The kernel references the events for the wait, so a close meanwhile is harmless. The
  // wait is alertable, so that a server can end it when the client has gone.
  return kernel::NtWaitForMultipleObjects(static_cast<ULONG>(handles.size()), handles.data(),
                                          request.waitAll ? WaitAll : WaitAny, request.hasTimeout ? &timeout : nullptr,
                                          TRUE);
}

}  // namespace nb::server
