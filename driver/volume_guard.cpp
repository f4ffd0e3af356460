// Rundown protection of a filter's record for the length of a dispatch routine.
#include "volume_guard.h"

#include "driver.h"

VolumeGuard::VolumeGuard(PDEVICE_OBJECT device, PIRP irp)
    : device_(device),
      volume_(VolumeOf(device)),
      held_(IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_PNP &&
            ExAcquireRundownProtection(&volume_->rundown)) {}

VolumeGuard::~VolumeGuard() {
  if (held_) ExReleaseRundownProtection(&volume_->rundown);
}

NTSTATUS VolumeGuard::Decline(PIRP irp) {
  UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  bool passes = major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE || major == IRP_MJ_PNP;
  // The record's own link may already be cut: ask the I/O manager, which hands back the
  // device below referenced, or none once the filter is detached.
  PDEVICE_OBJECT lower = passes ? IoGetLowerDeviceObject(device_) : nullptr;
  if (!lower) {
    // Without a file system below there is nothing left to clean up or close.
    return CompleteRequest(irp, passes && major != IRP_MJ_PNP ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE, 0);
  }
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(lower, irp);
  ObDereferenceObject(lower);
  return status;
}
