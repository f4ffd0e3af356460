// IRP_MJ_FILE_SYSTEM_CONTROL: announce new mounts, note lock and dismount requests on
// locked volumes, refuse reparse-point changes where a write would be refused, pass
// everything else on.
#include "driver.h"
#include "events.h"
#include "filtered_request.h"
#include "log.h"
#include "nb/resource_guard.h"
#include "trusted.h"
#include "volume_guard.h"

namespace {

// Completion of a mount request passed through a file-system filter; the file system
// completed it. A mounted volume is announced to the service.
NTSTATUS mountComp(PDEVICE_OBJECT, PIRP irp, PVOID) {
  if (NT_SUCCESS(irp->IoStatus.Status)) PulseDeviceNotify();
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

constexpr VerdictLog kReparseLog{"nbfsFsControl: local system proc, path=%ws\n", LOG_NOTICE,
                                 "nbfsFsControl: NO ACCESS: reparse point change denied (path=%ws)\n",
                                 "nbfsFsControl: READONLY: reparse point change denied (path=%ws)\n", LOG_ERROR};

// Setting or removing a reparse point turns a file into a link or back: it changes the
// file as a write does, also through a handle opened before the lock, so it meets the
// same rule as a write.
bool ChangesReparsePoint(PIO_STACK_LOCATION stack) {
  if (stack->MinorFunction != IRP_MN_USER_FS_REQUEST) return false;
  ULONG code = stack->Parameters.FileSystemControl.FsControlCode;
  return code == FSCTL_SET_REPARSE_POINT || code == FSCTL_DELETE_REPARSE_POINT;
}

NTSTATUS CheckReparseChange(PDEVICE_OBJECT device, PIRP irp) {
  FilteredRequest request(device, irp, "nbfsFsControl: not Attached yet\n");
  if (!request.Checkable() || !request.LookUpName()) return request.Skip();
  GoverningLock lock = request.ResolveName();
  if (!lock.applies) return request.PassOn();
  AccessInput input{lock.flags, lock.permission, isNetworkCaller(), isSystemProcess(), true};
  if (CompleteIfDenied(request, DecideAccess(RequestKind::kOther, input), kReparseLog, request.Name().Name()))
    return STATUS_ACCESS_DENIED;
  return request.PassOn();
}

bool HasLocks(VolumeRecord* volume) {
  nb::SharedLock guard(volume->lock);
  return !IsListEmpty(&volume->entries) || volume->savedType != 0 || volume->flags != 0;
}

}  // namespace

NTSTATUS nbfsFsControl(PDEVICE_OBJECT device, PIRP irp) {
  if (IsControlDevice(device)) return CompleteRequest(irp, STATUS_SUCCESS, 0);
  PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(irp);
  if (ChangesReparsePoint(current) && current->FileObject) return CheckReparseChange(device, irp);
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
