// The object manager's names: symbolic link targets and directory listings.
#include "nb/kernel/kernel.h"
#include "nb/kernel/object_namespace.h"
#include "requests.h"

namespace nb::server {

NTSTATUS Serve(ClientContext&, const QuerySymbolicLinkRequest& request, QuerySymbolicLinkReply* reply) {
  std::optional<std::u16string> target = kernel::CurrentKernel().Namespace().LinkTarget(request.linkName);
  if (!target) return STATUS_OBJECT_NAME_NOT_FOUND;
  reply->target = std::move(*target);
  return STATUS_SUCCESS;
}

NTSTATUS Serve(ClientContext&, const ListDirectoryRequest& request, ListDirectoryReply* reply) {
  reply->names = kernel::CurrentKernel().Namespace().List(request.directory);
  return STATUS_SUCCESS;
}

}  // namespace nb::server
