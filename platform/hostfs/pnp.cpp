// IRP_MJ_PNP: when the medium under a volume goes away the volume is dismounted. The
// request completes first; deleting the volume device then tells the filters attached
// above it (their FastIoDetachDevice), so none of them may touch the request afterwards.
#include "hostfs_internal.h"

namespace nb::hostfs {

NTSTATUS HostPnp(PDEVICE_OBJECT device, PIRP irp) {
  HostVolume* volume = VolumeOf(device);
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  if (!volume || (minor != IRP_MN_SURPRISE_REMOVAL && minor != IRP_MN_REMOVE_DEVICE))
    return CompleteRequest(irp, STATUS_NOT_SUPPORTED);
  CompleteRequest(irp, STATUS_SUCCESS);
  DismountVolume(volume);
  return STATUS_SUCCESS;
}

}  // namespace nb::hostfs
