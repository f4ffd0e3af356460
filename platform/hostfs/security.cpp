// IRP_MJ_QUERY_SECURITY and IRP_MJ_SET_SECURITY: host permissions are the only access
// control, so every object reports a descriptor with a null DACL and changes are accepted.
#include <cstring>

#include "hostfs_internal.h"

namespace nb::hostfs {

NTSTATUS HostQuerySecurity(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (!FindFile(VolumeOf(device), stack->FileObject)) return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
  SECURITY_DESCRIPTOR_RELATIVE descriptor{};
  descriptor.Revision = SECURITY_DESCRIPTOR_REVISION;
  descriptor.Control = SE_SELF_RELATIVE | SE_DACL_PRESENT;
  // Too small a buffer learns the size it needs.
  if (stack->Parameters.QuerySecurity.Length < sizeof descriptor || !irp->UserBuffer)
    return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, sizeof descriptor);
  std::memcpy(irp->UserBuffer, &descriptor, sizeof descriptor);
  return CompleteRequest(irp, STATUS_SUCCESS, sizeof descriptor);
}

NTSTATUS HostSetSecurity(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (!FindFile(VolumeOf(device), stack->FileObject)) return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
  return CompleteRequest(irp, STATUS_SUCCESS);
}

}  // namespace nb::hostfs
