// IRP_MJ_FILE_SYSTEM_CONTROL: announce new mounts, note lock and dismount requests on
// locked volumes, pass everything on.
#include "driver.h"
#include "events.h"
#include "log.h"
#include "nb/resource_guard.h"
#include "volume_guard.h"

namespace {

// Completion of a mount request passed through a file-system filter; the file system
// completed it. A mounted volume is announced to the service.
NTSTATUS mountComp(PDEVICE_OBJECT, PIRP irp, PVOID) {
  if (NT_SUCCESS(irp->IoStatus.Status)) PulseDeviceNotify();
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

bool HasLocks(VolumeRecord* volume) {
  nb::SharedLock guard(volume->lock);
  return !IsListEmpty(&volume->entries) || volume->savedType != 0 || volume->flags != 0;
}

}  // namespace

NTSTATUS nbfsFsControl(PDEVICE_OBJECT device, PIRP irp) {
  if (IsControlDevice(device)) return CompleteRequest(irp, STATUS_SUCCESS, 0);
  VolumeGuard guard(device, irp);
  if (!guard) return guard.Decline(irp);
  VolumeRecord* volume = VolumeOf(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MinorFunction == IRP_MN_MOUNT_VOLUME) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, mountComp, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(volume->lower, irp);
  }
  if (stack->MinorFunction == IRP_MN_USER_FS_REQUEST && !(volume->state & VOLUME_STATE_FS_FILTER) &&
      HasLocks(volume)) {
    ULONG code = stack->Parameters.FileSystemControl.FsControlCode;
    if (code == FSCTL_LOCK_VOLUME) nbfsLog(LOG_NOTICE, "LOCK VOLUME IS NOT ALLOWED\n");
    if (code == FSCTL_DISMOUNT_VOLUME) nbfsLog(LOG_NOTICE, "DISMOUNT VOLUME IS NOT ALLOWED\n");
  }
  return PassOn(volume, irp);
}
