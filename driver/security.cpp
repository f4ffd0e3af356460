// IRP_MJ_QUERY_SECURITY and IRP_MJ_SET_SECURITY on governed paths; no message, and the
// System process is not exempt.
#include "access_rules.h"
#include "driver.h"
#include "lock_resolution.h"
#include "log.h"
#include "name_cache.h"
#include "volume_guard.h"

NTSTATUS nbfsSecurity(PDEVICE_OBJECT device, PIRP irp) {
  if (IsControlDevice(device)) return CompleteRequest(irp, STATUS_SUCCESS, 0);
  VolumeGuard guard(device, irp);
  if (!guard) return guard.Decline(irp);
  VolumeRecord* volume = VolumeOf(device);
  if (!volume->attached) {
    nbfsLog(LOG_NOTICE, "nbfsSecurity: not Attached yet\n");
    return PassOn(volume, irp);
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (!volume->active || !stack->FileObject) return PassOn(volume, irp);
  CachedName path(stack->FileObject);
  if (!path.Found()) return PassOn(volume, irp);

  GoverningLock lock = ResolveGoverningLock(volume, path.Name(), path.Length());
  if (!lock.applies || !(lock.flags & (NBFS_LOCK_NOACCESS | NBFS_LOCK_READONLY))) return PassOn(volume, irp);
  AccessInput input{lock.flags, lock.permission, isNetworkCaller(), false,
                    stack->MajorFunction == IRP_MJ_SET_SECURITY};
  AccessVerdict verdict = DecideAccess(RequestKind::kSecurity, input);
  if (verdict == AccessVerdict::kDenyNoAccess || verdict == AccessVerdict::kDenyReadOnly) {
    return CompleteRequest(irp, STATUS_ACCESS_DENIED, 0);
  }
  return PassOn(volume, irp);
}
