// Requests on objects the client opens by name: open, device control, volume
// information and close.
#include <algorithm>

#include "nb/kernel/file_requests.h"
#include "nb/kernel/io.h"
#include "requests.h"

namespace nb::server {

namespace {

// Keeps what a buffered request handed back: nothing when it failed, else as many bytes
// as were reported and fit.
void KeepReturned(NTSTATUS status, ULONG returned, std::vector<uint8_t>* buffer) {
  buffer->resize(NT_ERROR(status) ? 0 : std::min<size_t>(returned, buffer->size()));
}

}  // namespace

NTSTATUS Serve(ClientContext& client, const OpenObjectRequest& request, OpenObjectReply* reply) {
  kernel::OpenParameters parameters;
  parameters.desiredAccess = request.desiredAccess;
  parameters.shareAccess = request.shareAccess;
  parameters.disposition = request.disposition;
  parameters.options = request.options;
  parameters.fileAttributes = request.fileAttributes;
  PFILE_OBJECT file;
  NTSTATUS status = kernel::OpenFile(request.objectName, parameters, &file);
  if (!NT_SUCCESS(status)) return status;
  NTSTATUS added = client.AddFile(file, &reply->object);
  return NT_SUCCESS(added) ? status : added;
}

NTSTATUS Serve(ClientContext& client, const DeviceControlRequest& request, DeviceControlReply* reply) {
  PFILE_OBJECT file;
  NTSTATUS status = client.ReferenceFile(request.object, &file);
  if (status == STATUS_OBJECT_TYPE_MISMATCH) return STATUS_INVALID_DEVICE_REQUEST;  // an event
  if (!NT_SUCCESS(status)) return status;
  reply->output.resize(request.outputLength);
  ULONG returned = 0;
  status = kernel::DeviceControl(file, request.code, request.input.data(), static_cast<ULONG>(request.input.size()),
                                 reply->output.data(), request.outputLength, &returned);
  ObDereferenceObject(file);
  reply->returned = returned;
  KeepReturned(status, returned, &reply->output);
  return status;
}

NTSTATUS Serve(ClientContext& client, const QueryVolumeInformationRequest& request,
               QueryVolumeInformationReply* reply) {
  // Only a value of the enumeration may become one.
  if (request.informationClass == 0 || request.informationClass >= FileFsMaximumInformation) {
    return STATUS_INVALID_INFO_CLASS;
  }
  PFILE_OBJECT file;
  NTSTATUS status = client.ReferenceFile(request.object, &file);
  if (!NT_SUCCESS(status)) return status;
  reply->buffer.resize(request.length);
  ULONG returned = 0;
  status = kernel::QueryVolumeInformation(file, static_cast<FS_INFORMATION_CLASS>(request.informationClass),
                                          reply->buffer.data(), request.length, &returned);
  ObDereferenceObject(file);
  reply->returned = returned;
  KeepReturned(status, returned, &reply->buffer);
  return status;
}

NTSTATUS Serve(ClientContext& client, const CloseObjectRequest& request, CloseObjectReply*) {
  return client.Close(request.object);
}

}  // namespace nb::server
