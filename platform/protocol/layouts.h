// The body layout of every request and reply, for the encoder (Writer) and the decoder
// (Reader); messages.cpp holds the layouts themselves.
#pragma once

#include "nb/protocol/protocol.h"
#include "wire.h"

namespace nb::protocol {

#define NB_PROTOCOL_BODY(Type)            \
  bool Fields(Writer& io, const Type& m); \
  bool Fields(Reader& io, Type& m);

NB_PROTOCOL_BODY(OpenObjectRequest)
NB_PROTOCOL_BODY(OpenObjectReply)
NB_PROTOCOL_BODY(DeviceControlRequest)
NB_PROTOCOL_BODY(DeviceControlReply)
NB_PROTOCOL_BODY(CloseObjectRequest)
NB_PROTOCOL_BODY(CloseObjectReply)
NB_PROTOCOL_BODY(CreateEventRequest)
NB_PROTOCOL_BODY(CreateEventReply)
NB_PROTOCOL_BODY(OpenEventRequest)
NB_PROTOCOL_BODY(OpenEventReply)
NB_PROTOCOL_BODY(SetEventRequest)
NB_PROTOCOL_BODY(SetEventReply)
NB_PROTOCOL_BODY(WaitForObjectsRequest)
NB_PROTOCOL_BODY(WaitForObjectsReply)
NB_PROTOCOL_BODY(QuerySymbolicLinkRequest)
NB_PROTOCOL_BODY(QuerySymbolicLinkReply)
NB_PROTOCOL_BODY(ListDirectoryRequest)
NB_PROTOCOL_BODY(ListDirectoryReply)
NB_PROTOCOL_BODY(QueryVolumeInformationRequest)
NB_PROTOCOL_BODY(QueryVolumeInformationReply)
NB_PROTOCOL_BODY(OpenRegistryKeyRequest)
NB_PROTOCOL_BODY(OpenRegistryKeyReply)
NB_PROTOCOL_BODY(DeleteRegistryKeyRequest)
NB_PROTOCOL_BODY(DeleteRegistryKeyReply)
NB_PROTOCOL_BODY(EnumerateRegistryKeyRequest)
NB_PROTOCOL_BODY(EnumerateRegistryKeyReply)
NB_PROTOCOL_BODY(QueryRegistryKeyRequest)
NB_PROTOCOL_BODY(QueryRegistryKeyReply)
NB_PROTOCOL_BODY(QueryRegistryValueRequest)
NB_PROTOCOL_BODY(QueryRegistryValueReply)
NB_PROTOCOL_BODY(SetRegistryValueRequest)
NB_PROTOCOL_BODY(SetRegistryValueReply)
NB_PROTOCOL_BODY(DeleteRegistryValueRequest)
NB_PROTOCOL_BODY(DeleteRegistryValueReply)
NB_PROTOCOL_BODY(EnumerateRegistryValueRequest)
NB_PROTOCOL_BODY(EnumerateRegistryValueReply)
NB_PROTOCOL_BODY(CreateMutantRequest)
NB_PROTOCOL_BODY(CreateMutantReply)
NB_PROTOCOL_BODY(OpenMutantRequest)
NB_PROTOCOL_BODY(OpenMutantReply)
NB_PROTOCOL_BODY(ReleaseMutantRequest)
NB_PROTOCOL_BODY(ReleaseMutantReply)

#undef NB_PROTOCOL_BODY

}  // namespace nb::protocol
