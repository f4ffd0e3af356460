// The body layouts of the requests and replies, each written once for both directions:
// `io` is a Writer (m const) when encoding and a Reader when decoding.
#include <concepts>
#include <type_traits>

#include "layouts.h"

namespace nb::protocol {

namespace {

template <typename M, typename T>
concept Is = std::same_as<std::remove_const_t<M>, T>;

template <typename IO, Is<OpenObjectRequest> M>
bool Layout(IO& io, M& m) {
  return io.U32(m.desiredAccess) && io.U32(m.shareAccess) && io.U32(m.disposition) && io.U32(m.options) &&
         io.U32(m.fileAttributes) && io.String(m.objectName, kMaxNameUnits);
}
template <typename IO, Is<OpenObjectReply> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.object);
}

template <typename IO, Is<DeviceControlRequest> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.object) && io.U32(m.code) && io.U32(m.outputLength) && m.outputLength <= kMaxBufferBytes &&
         io.Bytes(m.input, kMaxBufferBytes);
}
template <typename IO, Is<DeviceControlReply> M>
bool Layout(IO& io, M& m) {
  return io.U32(m.returned) && io.Bytes(m.output, kMaxBufferBytes);
}

template <typename IO, Is<CloseObjectRequest> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.object);
}
template <typename IO, Is<CloseObjectReply> M>
bool Layout(IO&, M&) {
  return true;
}

template <typename IO, Is<CreateEventRequest> M>
bool Layout(IO& io, M& m) {
  return io.U32(m.handle) && io.Bool(m.manualReset) && io.Bool(m.initialState) &&
         io.String(m.objectName, kMaxNameUnits);
}
template <typename IO, Is<CreateEventReply> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.object);
}

template <typename IO, Is<OpenEventRequest> M>
bool Layout(IO& io, M& m) {
  return io.U32(m.handle) && io.U32(m.desiredAccess) && io.String(m.objectName, kMaxNameUnits);
}
template <typename IO, Is<OpenEventReply> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.object);
}

template <typename IO, Is<SetEventRequest> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.object) && io.Bool(m.signalled);
}
template <typename IO, Is<SetEventReply> M>
bool Layout(IO&, M&) {
  return true;
}

template <typename IO, Is<WaitForObjectsRequest> M>
bool Layout(IO& io, M& m) {
  return io.Bool(m.waitAll) && io.Bool(m.hasTimeout) && io.I64(m.timeout) && io.U64Array(m.objects, 1, kMaxWaitObjects);
}
template <typename IO, Is<WaitForObjectsReply> M>
bool Layout(IO&, M&) {
  return true;
}

template <typename IO, Is<QuerySymbolicLinkRequest> M>
bool Layout(IO& io, M& m) {
  return io.String(m.linkName, kMaxNameUnits);
}
template <typename IO, Is<QuerySymbolicLinkReply> M>
bool Layout(IO& io, M& m) {
  return io.String(m.target, kMaxNameUnits);
}

template <typename IO, Is<ListDirectoryRequest> M>
bool Layout(IO& io, M& m) {
  return io.String(m.directory, kMaxNameUnits);
}
template <typename IO, Is<ListDirectoryReply> M>
bool Layout(IO& io, M& m) {
  return io.StringArray(m.names, kMaxListedNames, kMaxNameUnits);
}

template <typename IO, Is<QueryVolumeInformationRequest> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.object) && io.U32(m.informationClass) && io.U32(m.length) && m.length <= kMaxBufferBytes;
}
template <typename IO, Is<QueryVolumeInformationReply> M>
bool Layout(IO& io, M& m) {
  return io.U32(m.returned) && io.Bytes(m.buffer, kMaxBufferBytes);
}

template <typename IO, Is<OpenRegistryKeyRequest> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.parent) && io.U32(m.root) && io.U32(m.desiredAccess) && io.Bool(m.create) &&
         io.String(m.subKey, kMaxNameUnits);
}
template <typename IO, Is<OpenRegistryKeyReply> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.key) && io.U32(m.disposition);
}

template <typename IO, Is<DeleteRegistryKeyRequest> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.key);
}
template <typename IO, Is<DeleteRegistryKeyReply> M>
bool Layout(IO&, M&) {
  return true;
}

template <typename IO, Is<EnumerateRegistryKeyRequest> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.key) && io.U32(m.index);
}
template <typename IO, Is<EnumerateRegistryKeyReply> M>
bool Layout(IO& io, M& m) {
  return io.I64(m.lastWriteTime) && io.String(m.name, kMaxKeyNameUnits);
}

template <typename IO, Is<QueryRegistryKeyRequest> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.key);
}
template <typename IO, Is<QueryRegistryKeyReply> M>
bool Layout(IO& io, M& m) {
  return io.U32(m.subKeys) && io.U32(m.maxSubKeyNameLength) && io.U32(m.values) && io.U32(m.maxValueNameLength) &&
         io.U32(m.maxValueDataLength) && io.I64(m.lastWriteTime);
}

template <typename IO, Is<QueryRegistryValueRequest> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.key) && io.String(m.name, kMaxValueNameUnits);
}
template <typename IO, Is<QueryRegistryValueReply> M>
bool Layout(IO& io, M& m) {
  return io.U32(m.type) && io.Bytes(m.data, kMaxValueDataBytes);
}

template <typename IO, Is<SetRegistryValueRequest> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.key) && io.U32(m.type) && io.String(m.name, kMaxValueNameUnits) &&
         io.Bytes(m.data, kMaxValueDataBytes);
}
template <typename IO, Is<SetRegistryValueReply> M>
bool Layout(IO&, M&) {
  return true;
}

template <typename IO, Is<DeleteRegistryValueRequest> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.key) && io.String(m.name, kMaxValueNameUnits);
}
template <typename IO, Is<DeleteRegistryValueReply> M>
bool Layout(IO&, M&) {
  return true;
}

template <typename IO, Is<EnumerateRegistryValueRequest> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.key) && io.U32(m.index);
}
template <typename IO, Is<EnumerateRegistryValueReply> M>
bool Layout(IO& io, M& m) {
  return io.U32(m.type) && io.String(m.name, kMaxValueNameUnits) && io.Bytes(m.data, kMaxValueDataBytes);
}

template <typename IO, Is<CreateMutantRequest> M>
bool Layout(IO& io, M& m) {
  return io.U32(m.handle) && io.Bool(m.initialOwner) && io.String(m.objectName, kMaxNameUnits);
}
template <typename IO, Is<CreateMutantReply> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.object);
}

template <typename IO, Is<OpenMutantRequest> M>
bool Layout(IO& io, M& m) {
  return io.U32(m.handle) && io.U32(m.desiredAccess) && io.String(m.objectName, kMaxNameUnits);
}
template <typename IO, Is<OpenMutantReply> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.object);
}

template <typename IO, Is<ReleaseMutantRequest> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.object);
}
template <typename IO, Is<ReleaseMutantReply> M>
bool Layout(IO& io, M& m) {
  return io.I32(m.previousCount);
}

template <typename IO, Is<VolumeEntry> M>
bool Layout(IO& io, M& m) {
  return io.U8(m.letter) && io.U8(m.type) && m.type <= kMaxVolumeType && io.U32(m.serial) && io.Bool(m.present) &&
         io.Bool(m.overmount) && io.Path(m.folder, kMaxVolumePathBytes) &&
         io.Path(m.mountPath, kMaxVolumePathBytes) && io.Path(m.accessFolder, kMaxVolumePathBytes);
}

template <typename IO, Is<QueryVolumesRequest> M>
bool Layout(IO&, M&) {
  return true;
}
template <typename IO, Is<QueryVolumesReply> M>
bool Layout(IO& io, M& m) {
  return io.Array(m.volumes, kMaxVolumes, kVolumeEntryMinBytes, [](IO& at, auto& entry) { return Layout(at, entry); });
}

template <typename IO, Is<AddVolumeRequest> M>
bool Layout(IO& io, M& m) {
  return io.U8(m.letter) && io.Bool(m.removable) && io.Bool(m.hasSerial) && io.U32(m.serial) &&
         io.Bool(m.overmount) && io.Path(m.folder, kMaxVolumePathBytes) && io.Path(m.mountPath, kMaxVolumePathBytes);
}
template <typename IO, Is<AddVolumeReply> M>
bool Layout(IO& io, M& m) {
  return io.U32(m.serial);
}

template <typename IO, Is<EjectVolumeRequest> M>
bool Layout(IO& io, M& m) {
  return io.U8(m.letter);
}
template <typename IO, Is<EjectVolumeReply> M>
bool Layout(IO&, M&) {
  return true;
}

template <typename IO, Is<InsertVolumeRequest> M>
bool Layout(IO& io, M& m) {
  return io.U8(m.letter) && io.Path(m.folder, kMaxVolumePathBytes);
}
template <typename IO, Is<InsertVolumeReply> M>
bool Layout(IO& io, M& m) {
  return io.U8(m.letter) && io.U32(m.serial);
}

template <typename IO, Is<CreateFileRequest> M>
bool Layout(IO& io, M& m) {
  return io.U32(m.desiredAccess) && io.U32(m.shareAccess) && io.U32(m.disposition) && io.U32(m.options) &&
         io.U32(m.fileAttributes) && io.String(m.objectName, kMaxNameUnits);
}
template <typename IO, Is<CreateFileReply> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.object) && io.U32(m.information);
}

// An offset is 0 or more, or the file pointer.
inline bool ValidOffset(int64_t offset) { return offset >= 0 || offset == kAtFilePointer; }

template <typename IO, Is<ReadFileRequest> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.object) && io.I64(m.offset) && ValidOffset(m.offset) && io.U32(m.length) &&
         m.length <= kMaxBufferBytes;
}
template <typename IO, Is<ReadFileReply> M>
bool Layout(IO& io, M& m) {
  return io.Bytes(m.data, kMaxBufferBytes);
}

template <typename IO, Is<WriteFileRequest> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.object) && io.I64(m.offset) && ValidOffset(m.offset) && io.Bytes(m.data, kMaxBufferBytes);
}
template <typename IO, Is<WriteFileReply> M>
bool Layout(IO& io, M& m) {
  return io.U32(m.written);
}

template <typename IO, Is<QueryInformationFileRequest> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.object) && io.U32(m.informationClass) && io.U32(m.length) && m.length <= kMaxBufferBytes;
}
template <typename IO, Is<QueryInformationFileReply> M>
bool Layout(IO& io, M& m) {
  return io.U32(m.returned) && io.Bytes(m.buffer, kMaxBufferBytes);
}

template <typename IO, Is<SetInformationFileRequest> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.object) && io.U32(m.informationClass) && io.Bytes(m.buffer, kMaxBufferBytes);
}
template <typename IO, Is<SetInformationFileReply> M>
bool Layout(IO&, M&) {
  return true;
}

template <typename IO, Is<RenameFileRequest> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.object) && io.Bool(m.replaceIfExists) && io.String(m.newName, kMaxNameUnits);
}
template <typename IO, Is<RenameFileReply> M>
bool Layout(IO&, M&) {
  return true;
}

template <typename IO, Is<QueryDirectoryFileRequest> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.object) && io.U32(m.informationClass) && io.Bool(m.restartScan) && io.Bool(m.returnSingleEntry) &&
         io.U32(m.length) && m.length <= kMaxBufferBytes && io.String(m.pattern, kMaxNameUnits);
}
template <typename IO, Is<QueryDirectoryFileReply> M>
bool Layout(IO& io, M& m) {
  return io.U32(m.returned) && io.Bytes(m.buffer, kMaxBufferBytes);
}

template <typename IO, Is<FlushFileRequest> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.object);
}
template <typename IO, Is<FlushFileReply> M>
bool Layout(IO&, M&) {
  return true;
}

template <typename IO, typename M>
bool StatusFields(IO& io, M& m) {
  return io.U32(m.serviceType) && io.U32(m.currentState) && io.U32(m.controlsAccepted) && io.U32(m.win32ExitCode) &&
         io.U32(m.serviceSpecificExitCode) && io.U32(m.checkPoint) && io.U32(m.waitHint) && io.U32(m.processId) &&
         io.U32(m.serviceFlags);
}

template <typename IO, Is<OpenServiceManagerRequest> M>
bool Layout(IO& io, M& m) {
  return io.U32(m.desiredAccess);
}
template <typename IO, Is<OpenServiceManagerReply> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.object);
}

template <typename IO, Is<CreateServiceRequest> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.manager) && io.U32(m.desiredAccess) && io.U32(m.serviceType) && io.U32(m.startType) &&
         io.U32(m.errorControl) && io.String(m.name, kMaxServiceNameUnits) &&
         io.String(m.displayName, kMaxServiceNameUnits) && io.String(m.imagePath, kMaxNameUnits);
}
template <typename IO, Is<CreateServiceReply> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.object);
}

template <typename IO, Is<OpenServiceRequest> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.manager) && io.U32(m.desiredAccess) && io.String(m.name, kMaxServiceNameUnits);
}
template <typename IO, Is<OpenServiceReply> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.object);
}

template <typename IO, Is<DeleteServiceRequest> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.service);
}
template <typename IO, Is<DeleteServiceReply> M>
bool Layout(IO&, M&) {
  return true;
}

template <typename IO, Is<StartServiceRequest> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.service) && io.StringArray(m.arguments, kMaxServiceArguments, kMaxServiceArgumentUnits);
}
template <typename IO, Is<StartServiceReply> M>
bool Layout(IO&, M&) {
  return true;
}

template <typename IO, Is<ControlServiceRequest> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.service) && io.U32(m.control);
}
template <typename IO, Is<ControlServiceReply> M>
bool Layout(IO& io, M& m) {
  return StatusFields(io, m.status);
}

template <typename IO, Is<QueryServiceStatusRequest> M>
bool Layout(IO& io, M& m) {
  return io.U64(m.service);
}
template <typename IO, Is<QueryServiceStatusReply> M>
bool Layout(IO& io, M& m) {
  return StatusFields(io, m.status);
}

template <typename IO, Is<ConnectServiceDispatcherRequest> M>
bool Layout(IO& io, M& m) {
  return io.StringArray(m.names, kMaxServiceArguments, kMaxServiceNameUnits);
}
template <typename IO, Is<ConnectServiceDispatcherReply> M>
bool Layout(IO& io, M& m) {
  return io.String(m.name, kMaxServiceNameUnits);
}

template <typename IO, Is<WaitServiceControlRequest> M>
bool Layout(IO& io, M& m) {
  return io.String(m.name, kMaxServiceNameUnits) && io.U64(m.acknowledged) && io.U32(m.timeout) &&
         m.timeout <= kMaxServiceWaitMilliseconds;
}
template <typename IO, Is<WaitServiceControlReply> M>
bool Layout(IO& io, M& m) {
  return io.U8(m.command) && m.command <= kMaxServiceCommand && io.U64(m.sequence) && io.U32(m.control) &&
         io.StringArray(m.arguments, kMaxServiceArguments + 1, kMaxServiceArgumentUnits);
}

template <typename IO, Is<SetServiceStatusRequest> M>
bool Layout(IO& io, M& m) {
  return io.String(m.name, kMaxServiceNameUnits) && StatusFields(io, m.status);
}
template <typename IO, Is<SetServiceStatusReply> M>
bool Layout(IO&, M&) {
  return true;
}

}  // namespace

#define NB_PROTOCOL_BODY(Type)                                     \
  bool Fields(Writer& io, const Type& m) { return Layout(io, m); } \
  bool Fields(Reader& io, Type& m) { return Layout(io, m); }

NB_PROTOCOL_MESSAGES(NB_PROTOCOL_BODY)

#undef NB_PROTOCOL_BODY

}  // namespace nb::protocol
