// Registry keys: open or create, delete, enumerate subkeys and describe, served by the
// machine's hive with the client's identity. The hive's key handles are filed in the
// client's table like its other objects, so a close or the client's end closes them.
#include "nb/kernel/kernel.h"
#include "requests.h"

namespace nb::server {

NTSTATUS RegistryKeyOfRequest(const ClientContext& client, uint64_t value, kernel::RegistryHandle* key) {
  NTSTATUS status = client.RegistryKeyOf(value, key);
  return status == STATUS_OBJECT_TYPE_MISMATCH ? STATUS_INVALID_HANDLE : status;  // a file or an event
}

NTSTATUS Serve(ClientContext& client, const OpenRegistryKeyRequest& request, OpenRegistryKeyReply* reply) {
  kernel::RegistryHandle parent = 0;
  if (request.parent != 0) {
    NTSTATUS status = RegistryKeyOfRequest(client, request.parent, &parent);
    if (!NT_SUCCESS(status)) return status;
  }
  kernel::RegistryHive& hive = kernel::CurrentKernel().Registry();
  kernel::RegistryHandle opened;
  ULONG disposition = 0;
  // An unknown root names no key: the hive refuses it with STATUS_INVALID_HANDLE.
  NTSTATUS status = hive.OpenKey(client.RegistryCaller(), parent, static_cast<RegistryRoot>(request.root),
                                 request.subKey, request.desiredAccess, request.create, &opened, &disposition);
  if (!NT_SUCCESS(status)) return status;
  NTSTATUS added = client.AddRegistryKey(opened, &reply->key);  // closes the key when it fails
  if (!NT_SUCCESS(added)) return added;
  reply->disposition = disposition;
  return status;
}

NTSTATUS Serve(ClientContext& client, const DeleteRegistryKeyRequest& request, DeleteRegistryKeyReply*) {
  kernel::RegistryHandle key;
  NTSTATUS status = RegistryKeyOfRequest(client, request.key, &key);
  if (!NT_SUCCESS(status)) return status;
  return kernel::CurrentKernel().Registry().DeleteKey(client.RegistryCaller(), key);
}

NTSTATUS Serve(ClientContext& client, const EnumerateRegistryKeyRequest& request, EnumerateRegistryKeyReply* reply) {
  kernel::RegistryHandle key;
  NTSTATUS status = RegistryKeyOfRequest(client, request.key, &key);
  if (!NT_SUCCESS(status)) return status;
  LONGLONG lastWriteTime = 0;
  status = kernel::CurrentKernel().Registry().EnumerateKey(client.RegistryCaller(), key, request.index, &reply->name,
                                                           &lastWriteTime);
  reply->lastWriteTime = lastWriteTime;
  return status;
}

NTSTATUS Serve(ClientContext& client, const QueryRegistryKeyRequest& request, QueryRegistryKeyReply* reply) {
  kernel::RegistryHandle key;
  NTSTATUS status = RegistryKeyOfRequest(client, request.key, &key);
  if (!NT_SUCCESS(status)) return status;
  RegistryKeyInfo info;
  status = kernel::CurrentKernel().Registry().QueryKeyInfo(client.RegistryCaller(), key, &info);
  if (!NT_SUCCESS(status)) return status;
  reply->subKeys = info.subKeys;
  reply->maxSubKeyNameLength = info.maxSubKeyNameLength;
  reply->values = info.values;
  reply->maxValueNameLength = info.maxValueNameLength;
  reply->maxValueDataLength = info.maxValueDataLength;
  reply->lastWriteTime = info.lastWriteTime;
  return status;
}

}  // namespace nb::server
