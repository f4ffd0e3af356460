// The handlers of the dispatcher, one per request kind, grouped by what they reach:
// opened objects (object_requests.cpp), events and waits (event_requests.cpp), mutants
// (mutant_requests.cpp), files and folders of volumes (file_requests.cpp), the object
// manager's names (name_requests.cpp), the registry (registry_key_requests.cpp,
// registry_value_requests.cpp), the machine's volumes (volume_requests.cpp) and the
// service manager (service_requests.cpp). Each runs
// in the client's process, fills the reply body and returns the request's status.
#pragma once

#include "nb/protocol/protocol.h"
#include "nb/server/server.h"

namespace nb::server {

using namespace nb::protocol;

// The kernel handle value a client chose for a named object it creates or opens.
inline HANDLE HandleValue(uint32_t value) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value)); }

// Enters the handle that a create or open of a named object gave (`opened`, its status)
// in the client's table. The open's own success status (STATUS_OBJECT_NAME_EXISTS) is
// kept unless entering it fails.
[[nodiscard]] inline NTSTATUS EnterOpenedHandle(ClientContext& client, NTSTATUS opened, HANDLE handle,
                                                uint64_t* value) {
  if (!NT_SUCCESS(opened)) return opened;
  NTSTATUS added = client.AddKernelHandle(handle, value);
  return NT_SUCCESS(added) ? opened : added;
}

[[nodiscard]] NTSTATUS Serve(ClientContext& client, const OpenObjectRequest& request, OpenObjectReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const DeviceControlRequest& request, DeviceControlReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const CloseObjectRequest& request, CloseObjectReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const QueryVolumeInformationRequest& request,
                             QueryVolumeInformationReply* reply);

[[nodiscard]] NTSTATUS Serve(ClientContext& client, const CreateEventRequest& request, CreateEventReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const OpenEventRequest& request, OpenEventReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const SetEventRequest& request, SetEventReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const WaitForObjectsRequest& request, WaitForObjectsReply* reply);

[[nodiscard]] NTSTATUS Serve(ClientContext& client, const CreateMutantRequest& request, CreateMutantReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const OpenMutantRequest& request, OpenMutantReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const ReleaseMutantRequest& request, ReleaseMutantReply* reply);

[[nodiscard]] NTSTATUS Serve(ClientContext& client, const CreateFileRequest& request, CreateFileReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const ReadFileRequest& request, ReadFileReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const WriteFileRequest& request, WriteFileReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const QueryInformationFileRequest& request,
                             QueryInformationFileReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const SetInformationFileRequest& request,
                             SetInformationFileReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const RenameFileRequest& request, RenameFileReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const QueryDirectoryFileRequest& request,
                             QueryDirectoryFileReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const FlushFileRequest& request, FlushFileReply* reply);

[[nodiscard]] NTSTATUS Serve(ClientContext& client, const QuerySymbolicLinkRequest& request,
                             QuerySymbolicLinkReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const ListDirectoryRequest& request, ListDirectoryReply* reply);

[[nodiscard]] NTSTATUS Serve(ClientContext& client, const OpenRegistryKeyRequest& request,
                             OpenRegistryKeyReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const DeleteRegistryKeyRequest& request,
                             DeleteRegistryKeyReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const EnumerateRegistryKeyRequest& request,
                             EnumerateRegistryKeyReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const QueryRegistryKeyRequest& request,
                             QueryRegistryKeyReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const QueryRegistryValueRequest& request,
                             QueryRegistryValueReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const SetRegistryValueRequest& request,
                             SetRegistryValueReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const DeleteRegistryValueRequest& request,
                             DeleteRegistryValueReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const EnumerateRegistryValueRequest& request,
                             EnumerateRegistryValueReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const QueryVolumesRequest& request, QueryVolumesReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const AddVolumeRequest& request, AddVolumeReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const EjectVolumeRequest& request, EjectVolumeReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const InsertVolumeRequest& request, InsertVolumeReply* reply);

[[nodiscard]] NTSTATUS Serve(ClientContext& client, const OpenServiceManagerRequest& request,
                             OpenServiceManagerReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const CreateServiceRequest& request, CreateServiceReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const OpenServiceRequest& request, OpenServiceReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const DeleteServiceRequest& request, DeleteServiceReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const StartServiceRequest& request, StartServiceReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const ControlServiceRequest& request, ControlServiceReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const QueryServiceStatusRequest& request,
                             QueryServiceStatusReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const ConnectServiceDispatcherRequest& request,
                             ConnectServiceDispatcherReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const WaitServiceControlRequest& request,
                             WaitServiceControlReply* reply);
[[nodiscard]] NTSTATUS Serve(ClientContext& client, const SetServiceStatusRequest& request,
                             SetServiceStatusReply* reply);

// The hive's key of a value the request names; STATUS_INVALID_HANDLE also when the value
// names a file or an event.
[[nodiscard]] NTSTATUS RegistryKeyOfRequest(const ClientContext& client, uint64_t value,
                                            kernel::RegistryHandle* key);

}  // namespace nb::server
