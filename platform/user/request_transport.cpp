// Transport calls as protocol requests over a channel.
#include "nb/win/request_transport.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "nb/protocol/protocol.h"
#include "nb/win/drives.h"

namespace nb::win {

namespace {

namespace protocol = nb::protocol;

// Handle values of this library fit 32 bits (handle_table.h); the request carries them so.
bool HandleValue(HANDLE handle, uint32_t* value) {
  auto raw = reinterpret_cast<uintptr_t>(handle);
  if (raw > std::numeric_limits<uint32_t>::max()) return false;
  *value = static_cast<uint32_t>(raw);
  return true;
}

}  // namespace

template <typename Request>
NTSTATUS RequestTransport::Call(const Request& request, typename Request::ReplyType* reply) {
  std::vector<uint8_t> message;
  NTSTATUS status = protocol::EncodeRequest(request, &message);
  if (!NT_SUCCESS(status)) return status;
  std::vector<uint8_t> answer;
  status = channel_.Exchange(message, &answer);
  if (!NT_SUCCESS(status)) return status;
  protocol::Reply decoded;
  NTSTATUS replied;
  status = protocol::DecodeReply(answer, Request::kKind, &replied, &decoded);
  if (!NT_SUCCESS(status)) return status;
  auto* body = std::get_if<typename Request::ReplyType>(&decoded);
  if (!body) return STATUS_INVALID_PARAMETER;
  *reply = std::move(*body);
  return replied;
}

NTSTATUS RequestTransport::OpenObject(const ObjectOpen& open, TransportObject* object) {
  *object = 0;
  protocol::OpenObjectRequest request;
  request.objectName = open.objectName;
  request.desiredAccess = open.desiredAccess;
  request.shareAccess = open.shareAccess;
  request.disposition = open.disposition;
  request.options = open.options;
  request.fileAttributes = open.fileAttributes;
  protocol::OpenObjectReply reply;
  NTSTATUS status = Call(request, &reply);
  if (NT_SUCCESS(status)) *object = reply.object;
  return status;
}

NTSTATUS RequestTransport::DeviceControl(TransportObject object, ULONG code, const void* input, ULONG inputLength,
                                         void* output, ULONG outputLength, ULONG* returned) {
  *returned = 0;
  if ((!input && inputLength) || (!output && outputLength)) return STATUS_INVALID_PARAMETER;
  if (inputLength > protocol::kMaxBufferBytes) return STATUS_INVALID_PARAMETER;
  protocol::DeviceControlRequest request;
  request.object = object;
  request.code = code;
  request.outputLength = outputLength;
  const auto* in = static_cast<const uint8_t*>(input);
  if (inputLength) request.input.assign(in, in + inputLength);
  protocol::DeviceControlReply reply;
  NTSTATUS status = Call(request, &reply);
  if (NT_ERROR(status)) return status;
  // The reply may not hand back more than the caller has room for.
  if (reply.output.size() > outputLength) return STATUS_INVALID_PARAMETER;
  if (!reply.output.empty()) std::memcpy(output, reply.output.data(), reply.output.size());
  *returned = reply.returned;
  return status;
}

void RequestTransport::CloseObject(TransportObject object) {
  protocol::CloseObjectRequest request;
  request.object = object;
  protocol::CloseObjectReply reply;
  (void)Call(request, &reply);
}

NTSTATUS RequestTransport::CreateEventObject(HANDLE handle, const std::u16string& objectName, bool manualReset,
                                             bool initialState, TransportObject* object) {
  *object = 0;
  protocol::CreateEventRequest request;
  if (!HandleValue(handle, &request.handle)) return STATUS_INVALID_HANDLE;
  request.objectName = objectName;
  request.manualReset = manualReset;
  request.initialState = initialState;
  protocol::CreateEventReply reply;
  NTSTATUS status = Call(request, &reply);
  if (NT_SUCCESS(status)) *object = reply.object;
  return status;
}

NTSTATUS RequestTransport::OpenEventObject(HANDLE handle, const std::u16string& objectName, ACCESS_MASK desiredAccess,
                                           TransportObject* object) {
  *object = 0;
  protocol::OpenEventRequest request;
  if (!HandleValue(handle, &request.handle)) return STATUS_INVALID_HANDLE;
  request.objectName = objectName;
  request.desiredAccess = desiredAccess;
  protocol::OpenEventReply reply;
  NTSTATUS status = Call(request, &reply);
  if (NT_SUCCESS(status)) *object = reply.object;
  return status;
}

NTSTATUS RequestTransport::SetEventObject(TransportObject object, bool signalled) {
  protocol::SetEventRequest request;
  request.object = object;
  request.signalled = signalled;
  protocol::SetEventReply reply;
  return Call(request, &reply);
}

NTSTATUS RequestTransport::CreateMutantObject(HANDLE handle, const std::u16string& objectName, bool initialOwner,
                                              TransportObject* object) {
  *object = 0;
  protocol::CreateMutantRequest request;
  if (!HandleValue(handle, &request.handle)) return STATUS_INVALID_HANDLE;
  request.objectName = objectName;
  request.initialOwner = initialOwner;
  protocol::CreateMutantReply reply;
  NTSTATUS status = Call(request, &reply);
  if (NT_SUCCESS(status)) *object = reply.object;
  return status;
}

NTSTATUS RequestTransport::OpenMutantObject(HANDLE handle, const std::u16string& objectName,
                                            ACCESS_MASK desiredAccess, TransportObject* object) {
  *object = 0;
  protocol::OpenMutantRequest request;
  if (!HandleValue(handle, &request.handle)) return STATUS_INVALID_HANDLE;
  request.objectName = objectName;
  request.desiredAccess = desiredAccess;
  protocol::OpenMutantReply reply;
  NTSTATUS status = Call(request, &reply);
  if (NT_SUCCESS(status)) *object = reply.object;
  return status;
}

NTSTATUS RequestTransport::ReleaseMutantObject(TransportObject object) {
  protocol::ReleaseMutantRequest request;
  request.object = object;
  protocol::ReleaseMutantReply reply;
  return Call(request, &reply);
}

NTSTATUS RequestTransport::WaitForObjects(const TransportObject* objects, ULONG count, bool waitAll,
                                          const LARGE_INTEGER* timeout) {
  if (!objects || count == 0 || count > protocol::kMaxWaitObjects) return STATUS_INVALID_PARAMETER;
  protocol::WaitForObjectsRequest request;
  request.objects.assign(objects, objects + count);
  request.waitAll = waitAll;
  request.hasTimeout = timeout != nullptr;
  if (timeout) request.timeout = timeout->QuadPart;
  protocol::WaitForObjectsReply reply;
  return Call(request, &reply);
}

NTSTATUS RequestTransport::QuerySymbolicLink(const std::u16string& linkName, std::u16string* target) {
  protocol::QuerySymbolicLinkRequest request;
  request.linkName = linkName;
  protocol::QuerySymbolicLinkReply reply;
  NTSTATUS status = Call(request, &reply);
  if (NT_SUCCESS(status)) *target = std::move(reply.target);
  return status;
}

NTSTATUS RequestTransport::ListDirectory(const std::u16string& directory, std::vector<std::u16string>* names) {
  protocol::ListDirectoryRequest request;
  request.directory = directory;
  protocol::ListDirectoryReply reply;
  NTSTATUS status = Call(request, &reply);
  if (NT_SUCCESS(status)) *names = std::move(reply.names);
  return status;
}

NTSTATUS RequestTransport::QueryVolumeInformation(TransportObject object, ULONG informationClass, void* buffer,
                                                  ULONG length, ULONG* returned) {
  *returned = 0;
  if (!buffer && length) return STATUS_INVALID_PARAMETER;
  protocol::QueryVolumeInformationRequest request;
  request.object = object;
  request.informationClass = informationClass;
  request.length = length;
  protocol::QueryVolumeInformationReply reply;
  NTSTATUS status = Call(request, &reply);
  if (NT_ERROR(status)) return status;
  if (reply.buffer.size() > length) return STATUS_INVALID_PARAMETER;
  if (!reply.buffer.empty()) std::memcpy(buffer, reply.buffer.data(), reply.buffer.size());
  *returned = reply.returned;
  return status;
}

NTSTATUS RequestTransport::CreateFileObject(const ObjectOpen& open, TransportObject* object, ULONG* information) {
  *object = 0;
  *information = 0;
  protocol::CreateFileRequest request;
  request.objectName = open.objectName;
  request.desiredAccess = open.desiredAccess;
  request.shareAccess = open.shareAccess;
  request.disposition = open.disposition;
  request.options = open.options;
  request.fileAttributes = open.fileAttributes;
  protocol::CreateFileReply reply;
  NTSTATUS status = Call(request, &reply);
  if (NT_SUCCESS(status)) {
    *object = reply.object;
    *information = reply.information;
  }
  return status;
}

namespace {

// The offset of the next piece of a transfer that began at `offset`.
LONGLONG Advanced(LONGLONG offset, ULONG done) {
  return offset == Transport::kAtFilePointer ? offset : offset + static_cast<LONGLONG>(done);
}

}  // namespace

NTSTATUS RequestTransport::ReadFileData(TransportObject object, LONGLONG offset, void* buffer, ULONG length,
                                        ULONG* transferred) {
  *transferred = 0;
  if (!buffer && length) return STATUS_INVALID_PARAMETER;
  if (offset < 0 && offset != kAtFilePointer) return STATUS_INVALID_PARAMETER;
  auto* bytes = static_cast<uint8_t*>(buffer);
  ULONG done = 0;
  NTSTATUS status = STATUS_SUCCESS;
  do {
    protocol::ReadFileRequest request;
    request.object = object;
    request.offset = Advanced(offset, done);
    request.length = static_cast<uint32_t>(std::min<size_t>(length - done, protocol::kMaxBufferBytes));
    protocol::ReadFileReply reply;
    status = Call(request, &reply);
    if (NT_ERROR(status)) break;
    if (reply.data.size() > request.length) return STATUS_INVALID_PARAMETER;
    if (!reply.data.empty()) std::memcpy(bytes + done, reply.data.data(), reply.data.size());
    done += static_cast<ULONG>(reply.data.size());
    if (reply.data.size() < request.length) break;  // the end of the file
  } while (done < length);
  *transferred = done;
  // The end met after some data is a short read, not a failure.
  return done && status == STATUS_END_OF_FILE ? STATUS_SUCCESS : status;
}

NTSTATUS RequestTransport::WriteFileData(TransportObject object, LONGLONG offset, const void* buffer, ULONG length,
                                         ULONG* transferred) {
  *transferred = 0;
  if (!buffer && length) return STATUS_INVALID_PARAMETER;
  if (offset < 0 && offset != kAtFilePointer) return STATUS_INVALID_PARAMETER;
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  ULONG done = 0;
  NTSTATUS status = STATUS_SUCCESS;
  do {
    protocol::WriteFileRequest request;
    request.object = object;
    request.offset = Advanced(offset, done);
    size_t piece = std::min<size_t>(length - done, protocol::kMaxBufferBytes);
    if (piece) request.data.assign(bytes + done, bytes + done + piece);
    protocol::WriteFileReply reply;
    status = Call(request, &reply);
    if (NT_ERROR(status)) break;
    if (reply.written > piece) return STATUS_INVALID_PARAMETER;
    done += reply.written;
    if (reply.written < piece) break;  // the disk is full
  } while (done < length);
  *transferred = done;
  return done && NT_ERROR(status) ? STATUS_SUCCESS : status;
}

NTSTATUS RequestTransport::QueryFileInformation(TransportObject object, ULONG informationClass, void* buffer,
                                                ULONG length, ULONG* returned) {
  *returned = 0;
  if (!buffer && length) return STATUS_INVALID_PARAMETER;
  if (length > protocol::kMaxBufferBytes) length = protocol::kMaxBufferBytes;
  protocol::QueryInformationFileRequest request;
  request.object = object;
  request.informationClass = informationClass;
  request.length = length;
  protocol::QueryInformationFileReply reply;
  NTSTATUS status = Call(request, &reply);
  if (NT_ERROR(status)) return status;
  if (reply.buffer.size() > length) return STATUS_INVALID_PARAMETER;
  if (!reply.buffer.empty()) std::memcpy(buffer, reply.buffer.data(), reply.buffer.size());
  *returned = static_cast<ULONG>(reply.buffer.size());
  return status;
}

NTSTATUS RequestTransport::SetFileInformation(TransportObject object, ULONG informationClass, const void* buffer,
                                              ULONG length) {
  if (!buffer && length) return STATUS_INVALID_PARAMETER;
  if (length > protocol::kMaxBufferBytes) return STATUS_INVALID_PARAMETER;
  protocol::SetInformationFileRequest request;
  request.object = object;
  request.informationClass = informationClass;
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  if (length) request.buffer.assign(bytes, bytes + length);
  protocol::SetInformationFileReply reply;
  return Call(request, &reply);
}

NTSTATUS RequestTransport::RenameFileObject(TransportObject object, const std::u16string& newName,
                                            bool replaceIfExists) {
  protocol::RenameFileRequest request;
  request.object = object;
  request.newName = newName;
  request.replaceIfExists = replaceIfExists;
  protocol::RenameFileReply reply;
  return Call(request, &reply);
}

NTSTATUS RequestTransport::QueryDirectoryFile(TransportObject object, ULONG informationClass,
                                              const std::u16string& pattern, bool restartScan, void* buffer,
                                              ULONG length, ULONG* returned) {
  *returned = 0;
  if (!buffer && length) return STATUS_INVALID_PARAMETER;
  if (length > protocol::kMaxBufferBytes) length = protocol::kMaxBufferBytes;
  protocol::QueryDirectoryFileRequest request;
  request.object = object;
  request.informationClass = informationClass;
  request.restartScan = restartScan;
  request.length = length;
  request.pattern = pattern;
  protocol::QueryDirectoryFileReply reply;
  NTSTATUS status = Call(request, &reply);
  if (NT_ERROR(status)) return status;
  if (reply.buffer.size() > length) return STATUS_INVALID_PARAMETER;
  if (!reply.buffer.empty()) std::memcpy(buffer, reply.buffer.data(), reply.buffer.size());
  *returned = static_cast<ULONG>(reply.buffer.size());
  return status;
}

NTSTATUS RequestTransport::FlushFileObject(TransportObject object) {
  protocol::FlushFileRequest request;
  request.object = object;
  protocol::FlushFileReply reply;
  return Call(request, &reply);
}

NTSTATUS RequestTransport::OpenRegistryKey(TransportObject parent, RegistryRoot root, const std::u16string& subKey,
                                           ACCESS_MASK desiredAccess, bool create, TransportObject* key,
                                           ULONG* disposition) {
  *key = 0;
  *disposition = 0;
  protocol::OpenRegistryKeyRequest request;
  request.parent = parent;
  request.root = static_cast<uint32_t>(root);
  request.desiredAccess = desiredAccess;
  request.create = create;
  request.subKey = subKey;
  protocol::OpenRegistryKeyReply reply;
  NTSTATUS status = Call(request, &reply);
  if (NT_SUCCESS(status)) {
    *key = reply.key;
    *disposition = reply.disposition;
  }
  return status;
}

NTSTATUS RequestTransport::DeleteRegistryKey(TransportObject key) {
  protocol::DeleteRegistryKeyRequest request;
  request.key = key;
  protocol::DeleteRegistryKeyReply reply;
  return Call(request, &reply);
}

NTSTATUS RequestTransport::EnumerateRegistryKey(TransportObject key, ULONG index, std::u16string* name,
                                                LONGLONG* lastWriteTime) {
  protocol::EnumerateRegistryKeyRequest request;
  request.key = key;
  request.index = index;
  protocol::EnumerateRegistryKeyReply reply;
  NTSTATUS status = Call(request, &reply);
  if (NT_SUCCESS(status)) {
    *name = std::move(reply.name);
    *lastWriteTime = reply.lastWriteTime;
  }
  return status;
}

NTSTATUS RequestTransport::QueryRegistryKey(TransportObject key, RegistryKeyInfo* info) {
  protocol::QueryRegistryKeyRequest request;
  request.key = key;
  protocol::QueryRegistryKeyReply reply;
  NTSTATUS status = Call(request, &reply);
  if (NT_SUCCESS(status)) {
    info->subKeys = reply.subKeys;
    info->maxSubKeyNameLength = reply.maxSubKeyNameLength;
    info->values = reply.values;
    info->maxValueNameLength = reply.maxValueNameLength;
    info->maxValueDataLength = reply.maxValueDataLength;
    info->lastWriteTime = reply.lastWriteTime;
  }
  return status;
}

NTSTATUS RequestTransport::QueryRegistryValue(TransportObject key, const std::u16string& name, ULONG* type,
                                              std::vector<BYTE>* data) {
  protocol::QueryRegistryValueRequest request;
  request.key = key;
  request.name = name;
  protocol::QueryRegistryValueReply reply;
  NTSTATUS status = Call(request, &reply);
  if (NT_SUCCESS(status)) {
    *type = reply.type;
    *data = std::move(reply.data);
  }
  return status;
}

NTSTATUS RequestTransport::SetRegistryValue(TransportObject key, const std::u16string& name, ULONG type,
                                            const void* data, ULONG length) {
  if (!data && length) return STATUS_INVALID_PARAMETER;
  if (length > protocol::kMaxValueDataBytes) return STATUS_INSUFFICIENT_RESOURCES;
  if (name.size() > protocol::kMaxValueNameUnits) return STATUS_INVALID_PARAMETER;
  protocol::SetRegistryValueRequest request;
  request.key = key;
  request.type = type;
  request.name = name;
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (length) request.data.assign(bytes, bytes + length);
  protocol::SetRegistryValueReply reply;
  return Call(request, &reply);
}

NTSTATUS RequestTransport::DeleteRegistryValue(TransportObject key, const std::u16string& name) {
  protocol::DeleteRegistryValueRequest request;
  request.key = key;
  request.name = name;
  protocol::DeleteRegistryValueReply reply;
  return Call(request, &reply);
}

NTSTATUS RequestTransport::EnumerateRegistryValue(TransportObject key, ULONG index, std::u16string* name,
                                                  ULONG* type, std::vector<BYTE>* data) {
  protocol::EnumerateRegistryValueRequest request;
  request.key = key;
  request.index = index;
  protocol::EnumerateRegistryValueReply reply;
  NTSTATUS status = Call(request, &reply);
  if (NT_SUCCESS(status)) {
    *name = std::move(reply.name);
    *type = reply.type;
    *data = std::move(reply.data);
  }
  return status;
}

NTSTATUS RequestTransport::QueryVolumes(std::vector<protocol::VolumeEntry>* volumes) {
  volumes->clear();
  protocol::QueryVolumesReply reply;
  NTSTATUS status = Call(protocol::QueryVolumesRequest{}, &reply);
  if (NT_SUCCESS(status)) *volumes = std::move(reply.volumes);
  return status;
}

NTSTATUS RequestTransport::AddVolume(const protocol::AddVolumeRequest& request, ULONG* serial) {
  *serial = 0;
  protocol::AddVolumeReply reply;
  NTSTATUS status = Call(request, &reply);
  // The drive table of this process is read again at its next need.
  ForgetMachineDrives();
  if (NT_SUCCESS(status)) *serial = reply.serial;
  return status;
}

NTSTATUS RequestTransport::EjectVolume(uint8_t letter) {
  protocol::EjectVolumeReply reply;
  NTSTATUS status = Call(protocol::EjectVolumeRequest{letter}, &reply);
  ForgetMachineDrives();
  return status;
}

NTSTATUS RequestTransport::InsertVolume(const protocol::InsertVolumeRequest& request,
                                        protocol::InsertVolumeReply* reply) {
  *reply = {};
  NTSTATUS status = Call(request, reply);
  ForgetMachineDrives();
  return status;
}

NTSTATUS RequestTransport::OpenServiceManager(ACCESS_MASK desiredAccess, TransportObject* manager) {
  *manager = 0;
  protocol::OpenServiceManagerReply reply;
  NTSTATUS status = Call(protocol::OpenServiceManagerRequest{desiredAccess}, &reply);
  if (NT_SUCCESS(status)) *manager = reply.object;
  return status;
}

NTSTATUS RequestTransport::CreateServiceObject(TransportObject manager, const protocol::CreateServiceRequest& request,
                                               TransportObject* service) {
  *service = 0;
  protocol::CreateServiceRequest sent = request;
  sent.manager = manager;
  protocol::CreateServiceReply reply;
  NTSTATUS status = Call(sent, &reply);
  if (NT_SUCCESS(status)) *service = reply.object;
  return status;
}

NTSTATUS RequestTransport::OpenServiceObject(TransportObject manager, const std::u16string& name,
                                             ACCESS_MASK desiredAccess, TransportObject* service) {
  *service = 0;
  protocol::OpenServiceReply reply;
  NTSTATUS status = Call(protocol::OpenServiceRequest{manager, desiredAccess, name}, &reply);
  if (NT_SUCCESS(status)) *service = reply.object;
  return status;
}

NTSTATUS RequestTransport::DeleteServiceObject(TransportObject service) {
  protocol::DeleteServiceReply reply;
  return Call(protocol::DeleteServiceRequest{service}, &reply);
}

NTSTATUS RequestTransport::StartServiceObject(TransportObject service, const std::vector<std::u16string>& arguments) {
  protocol::StartServiceReply reply;
  return Call(protocol::StartServiceRequest{service, arguments}, &reply);
}

NTSTATUS RequestTransport::ControlServiceObject(TransportObject service, ULONG control,
                                                protocol::ServiceStatusRecord* status) {
  *status = {};
  protocol::ControlServiceReply reply;
  NTSTATUS result = Call(protocol::ControlServiceRequest{service, control}, &reply);
  if (NT_ERROR(result)) {
    // A refused control carries no body: the status comes from a query.
    protocol::QueryServiceStatusReply query;
    if (NT_SUCCESS(Call(protocol::QueryServiceStatusRequest{service}, &query))) *status = query.status;
    return result;
  }
  *status = reply.status;
  return result;
}

NTSTATUS RequestTransport::QueryServiceObject(TransportObject service, protocol::ServiceStatusRecord* status) {
  *status = {};
  protocol::QueryServiceStatusReply reply;
  NTSTATUS result = Call(protocol::QueryServiceStatusRequest{service}, &reply);
  if (NT_SUCCESS(result)) *status = reply.status;
  return result;
}

NTSTATUS RequestTransport::ConnectServiceDispatcher(const std::vector<std::u16string>& names, std::u16string* name) {
  name->clear();
  protocol::ConnectServiceDispatcherReply reply;
  NTSTATUS status = Call(protocol::ConnectServiceDispatcherRequest{names}, &reply);
  if (NT_SUCCESS(status)) *name = reply.name;
  return status;
}

NTSTATUS RequestTransport::WaitServiceControl(const protocol::WaitServiceControlRequest& request,
                                              protocol::WaitServiceControlReply* reply) {
  *reply = {};
  return Call(request, reply);
}

NTSTATUS RequestTransport::ReportServiceStatus(const std::u16string& name, const protocol::ServiceStatusRecord& status) {
  protocol::SetServiceStatusReply reply;
  return Call(protocol::SetServiceStatusRequest{name, status}, &reply);
}

}  // namespace nb::win
