// The body layout of every request and reply, for the encoder (Writer) and the decoder
// (Reader); messages.cpp holds the layouts themselves.
#pragma once

#include "nb/protocol/protocol.h"
#include "wire.h"

namespace nb::protocol {

// Every request and reply body, in kind order: the one list the declarations here and
// the definitions in messages.cpp both expand.
#define NB_PROTOCOL_MESSAGES(X) \
  X(OpenObjectRequest) \
  X(OpenObjectReply) \
  X(DeviceControlRequest) \
  X(DeviceControlReply) \
  X(CloseObjectRequest) \
  X(CloseObjectReply) \
  X(CreateEventRequest) \
  X(CreateEventReply) \
  X(OpenEventRequest) \
  X(OpenEventReply) \
  X(SetEventRequest) \
  X(SetEventReply) \
  X(WaitForObjectsRequest) \
  X(WaitForObjectsReply) \
  X(QuerySymbolicLinkRequest) \
  X(QuerySymbolicLinkReply) \
  X(ListDirectoryRequest) \
  X(ListDirectoryReply) \
  X(QueryVolumeInformationRequest) \
  X(QueryVolumeInformationReply) \
  X(OpenRegistryKeyRequest) \
  X(OpenRegistryKeyReply) \
  X(DeleteRegistryKeyRequest) \
  X(DeleteRegistryKeyReply) \
  X(EnumerateRegistryKeyRequest) \
  X(EnumerateRegistryKeyReply) \
  X(QueryRegistryKeyRequest) \
  X(QueryRegistryKeyReply) \
  X(QueryRegistryValueRequest) \
  X(QueryRegistryValueReply) \
  X(SetRegistryValueRequest) \
  X(SetRegistryValueReply) \
  X(DeleteRegistryValueRequest) \
  X(DeleteRegistryValueReply) \
  X(EnumerateRegistryValueRequest) \
  X(EnumerateRegistryValueReply) \
  X(CreateMutantRequest) \
  X(CreateMutantReply) \
  X(OpenMutantRequest) \
  X(OpenMutantReply) \
  X(ReleaseMutantRequest) \
  X(ReleaseMutantReply) \
  X(QueryVolumesRequest) \
  X(QueryVolumesReply) \
  X(AddVolumeRequest) \
  X(AddVolumeReply) \
  X(EjectVolumeRequest) \
  X(EjectVolumeReply) \
  X(InsertVolumeRequest) \
  X(InsertVolumeReply) \
  X(CreateFileRequest) \
  X(CreateFileReply) \
  X(ReadFileRequest) \
  X(ReadFileReply) \
  X(WriteFileRequest) \
  X(WriteFileReply) \
  X(QueryInformationFileRequest) \
  X(QueryInformationFileReply) \
  X(SetInformationFileRequest) \
  X(SetInformationFileReply) \
  X(RenameFileRequest) \
  X(RenameFileReply) \
  X(QueryDirectoryFileRequest) \
  X(QueryDirectoryFileReply) \
  X(FlushFileRequest) \
  X(FlushFileReply) \
  X(OpenServiceManagerRequest) \
  X(OpenServiceManagerReply) \
  X(CreateServiceRequest) \
  X(CreateServiceReply) \
  X(OpenServiceRequest) \
  X(OpenServiceReply) \
  X(DeleteServiceRequest) \
  X(DeleteServiceReply) \
  X(StartServiceRequest) \
  X(StartServiceReply) \
  X(ControlServiceRequest) \
  X(ControlServiceReply) \
  X(QueryServiceStatusRequest) \
  X(QueryServiceStatusReply) \
  X(ConnectServiceDispatcherRequest) \
  X(ConnectServiceDispatcherReply) \
  X(WaitServiceControlRequest) \
  X(WaitServiceControlReply) \
  X(SetServiceStatusRequest) \
  X(SetServiceStatusReply)

#define NB_PROTOCOL_BODY(Type)            \
  bool Fields(Writer& io, const Type& m); \
  bool Fields(Reader& io, Type& m);

NB_PROTOCOL_MESSAGES(NB_PROTOCOL_BODY)

#undef NB_PROTOCOL_BODY

}  // namespace nb::protocol
