// Mutants: kernel handles of the client's process, filed under the values its library
// chose, made and reached by name with the client's Linux user as their security asks. The serving thread stands for the client's calling thread, so it owns what the
// client's thread acquires.
#include "nb/kernel/mutants.h"
#include "requests.h"

namespace nb::server {

NTSTATUS Serve(ClientContext& client, const CreateMutantRequest& request, CreateMutantReply* reply) {
  HANDLE created = nullptr;
  NTSTATUS status = kernel::NtCreateMutant(&created, MUTANT_ALL_ACCESS, request.objectName,
                                           request.initialOwner ? TRUE : FALSE, HandleValue(request.handle),
                                           client.User());
  return EnterOpenedHandle(client, status, created, &reply->object);
}

NTSTATUS Serve(ClientContext& client, const OpenMutantRequest& request, OpenMutantReply* reply) {
  HANDLE opened = nullptr;
  NTSTATUS status =
      kernel::NtOpenMutant(&opened, request.desiredAccess, request.objectName, HandleValue(request.handle),
                           client.User());
  return EnterOpenedHandle(client, status, opened, &reply->object);
}

NTSTATUS Serve(ClientContext& client, const ReleaseMutantRequest& request, ReleaseMutantReply* reply) {
  HANDLE handle;
  NTSTATUS status = client.KernelHandleOf(request.object, &handle);
  if (!NT_SUCCESS(status)) return status;
  LONG previous = 0;
  status = kernel::NtReleaseMutant(handle, &previous);
  reply->previousCount = previous;
  return status;
}

}  // namespace nb::server
