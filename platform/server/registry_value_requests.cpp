// Registry values: query, set, delete and enumerate on a key the client holds. Data
// longer than a message may carry is refused whole, never cut (protocol.h).
#include "nb/kernel/kernel.h"
#include "requests.h"

namespace nb::server {

namespace {

static_assert(kMaxValueNameUnits == kRegistryMaxValueNameLength);
static_assert(kMaxKeyNameUnits == kRegistryMaxKeyNameLength);
static_assert(kMaxValueDataBytes <= kRegistryMaxValueDataLength);

// Hands a value's data to the reply when a message can carry it.
NTSTATUS KeepData(NTSTATUS status, std::vector<BYTE>& data, std::vector<uint8_t>* reply) {
  if (!NT_SUCCESS(status)) return status;
  if (data.size() > kMaxValueDataBytes) return STATUS_INSUFFICIENT_RESOURCES;
  *reply = std::move(data);
  return status;
}

}  // namespace

NTSTATUS Serve(ClientContext& client, const QueryRegistryValueRequest& request, QueryRegistryValueReply* reply) {
  kernel::RegistryHandle key;
  NTSTATUS status = RegistryKeyOfRequest(client, request.key, &key);
  if (!NT_SUCCESS(status)) return status;
  ULONG type = REG_NONE;
  std::vector<BYTE> data;
  status = kernel::CurrentKernel().Registry().QueryValue(client.RegistryCaller(), key, request.name, &type, &data);
  reply->type = type;
  return KeepData(status, data, &reply->data);
}

NTSTATUS Serve(ClientContext& client, const SetRegistryValueRequest& request, SetRegistryValueReply*) {
  kernel::RegistryHandle key;
  NTSTATUS status = RegistryKeyOfRequest(client, request.key, &key);
  if (!NT_SUCCESS(status)) return status;
  return kernel::CurrentKernel().Registry().SetValue(client.RegistryCaller(), key, request.name, request.type,
                                                     request.data.data(), request.data.size());
}

NTSTATUS Serve(ClientContext& client, const DeleteRegistryValueRequest& request, DeleteRegistryValueReply*) {
  kernel::RegistryHandle key;
  NTSTATUS status = RegistryKeyOfRequest(client, request.key, &key);
  if (!NT_SUCCESS(status)) return status;
  return kernel::CurrentKernel().Registry().DeleteValue(client.RegistryCaller(), key, request.name);
}

NTSTATUS Serve(ClientContext& client, const EnumerateRegistryValueRequest& request,
               EnumerateRegistryValueReply* reply) {
  kernel::RegistryHandle key;
  NTSTATUS status = RegistryKeyOfRequest(client, request.key, &key);
  if (!NT_SUCCESS(status)) return status;
  ULONG type = REG_NONE;
  std::vector<BYTE> data;
  status = kernel::CurrentKernel().Registry().EnumerateValue(client.RegistryCaller(), key, request.index, &reply->name,
                                                             &type, &data);
  reply->type = type;
  return KeepData(status, data, &reply->data);
}

}  // namespace nb::server
