// Every other request: pipes and mailslots refused, closes forget their file object's
// name, reads, writes and the rest checked against the governing lock.
#include "access_rules.h"
#include "driver.h"
#include "lock_resolution.h"
#include "log.h"
#include "name_cache.h"
#include "trusted.h"
#include "volume_guard.h"

NTSTATUS nbfsPassTH(PDEVICE_OBJECT device, PIRP irp) {
  // Requests to the control device complete at once: that is how clients open and close it.
  if (IsControlDevice(device)) return CompleteRequest(irp, STATUS_SUCCESS, 0);
  VolumeGuard guard(device, irp);
  if (!guard) return guard.Decline(irp);
  VolumeRecord* volume = VolumeOf(device);
  if (!volume->attached) {
    nbfsLog(LOG_NOTICE, "nbfsPassTH: not Attached yet\n");
    return PassOn(volume, irp);
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PFILE_OBJECT file = stack->FileObject;
  if (!volume->active || !file) return PassOn(volume, irp);

  UCHAR major = stack->MajorFunction;
  switch (major) {
    case IRP_MJ_CREATE_NAMED_PIPE:
    case IRP_MJ_CREATE_MAILSLOT:
      nbfsLog(LOG_ERROR, "nbfsPass: MAILSLOT or PIPE\n");
      return CompleteRequest(irp, STATUS_ACCESS_DENIED, 0);
    case IRP_MJ_CLEANUP:
      return PassOn(volume, irp);
    case IRP_MJ_CLOSE:
      (void)NameCacheForget(file);
      return PassOn(volume, irp);
    default:
      break;
  }

  CachedName path(file);
  if (!path.Found()) return PassOn(volume, irp);
  GoverningLock lock = ResolveGoverningLock(volume, path.Name(), path.Length());
  if (!lock.applies) return PassOn(volume, irp);
  AccessInput input{lock.flags, lock.permission, isNetworkCaller(), isSystemProcess(), major == IRP_MJ_WRITE};
  switch (DecideAccess(RequestKind::kOther, input)) {
    case AccessVerdict::kAllowLocalSystem:
      nbfsLog(LOG_NOTICE, "nbfsPassTH: local system proc, MJ=0x%x, path=%ws\n", major, path.Name());
      break;
    case AccessVerdict::kDenyNoAccess:
      nbfsLog(LOG_ERROR, "nbfsPassTH: NO ACCESS: access denied (MJ=0x%x, path=%ws)\n", major, path.Name());
      return CompleteRequest(irp, STATUS_ACCESS_DENIED, 0);
    case AccessVerdict::kDenyReadOnly:
      nbfsLog(LOG_ERROR, "nbfsPassTH: READONLY: access denied (MJ=0x%x, path=%ws)\n", major, path.Name());
      return CompleteRequest(irp, STATUS_ACCESS_DENIED, 0);
    case AccessVerdict::kAllow:
      break;
  }
  return PassOn(volume, irp);
}
