// IRP_MJ_SET_INFORMATION and IRP_MJ_QUERY_INFORMATION on governed paths.
#include "access_rules.h"
#include "driver.h"
#include "lock_resolution.h"
#include "log.h"
#include "name_cache.h"
#include "trusted.h"
#include "volume_guard.h"

namespace {

bool IsRenameOrDelete(FILE_INFORMATION_CLASS informationClass) {
  return informationClass == FileRenameInformation || informationClass == FileDispositionInformation;
}

// Passes a set-information request on; a rename forgets the old name first.
NTSTATUS PassSetInformation(VolumeRecord* volume, PIRP irp, PFILE_OBJECT file, FILE_INFORMATION_CLASS cls) {
  if (cls == FileRenameInformation) (void)NameCacheForget(file);
  return PassOn(volume, irp);
}

}  // namespace

NTSTATUS setInfo(PDEVICE_OBJECT device, PIRP irp) {
  if (IsControlDevice(device)) return CompleteRequest(irp, STATUS_SUCCESS, 0);
  VolumeGuard guard(device, irp);
  if (!guard) return guard.Decline(irp);
  VolumeRecord* volume = VolumeOf(device);
  if (!volume->attached) {
    nbfsLog(LOG_NOTICE, "nbfsSetInformation: not Attached yet\n");
    return PassOn(volume, irp);
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PFILE_OBJECT file = stack->FileObject;
  if (!volume->active || !file) return PassOn(volume, irp);
  CachedName path(file);
  if (!path.Found()) return PassOn(volume, irp);
  FILE_INFORMATION_CLASS cls = stack->Parameters.SetFile.FileInformationClass;

  GoverningLock lock = ResolveGoverningLock(volume, path.Name(), path.Length());
  if (lock.volumeHasEntries && !lock.entryGoverns) {
    if (cls == FileRenameInformation && IsAncestorOfEntry(volume, path.Name(), path.Length())) {
      nbfsLog(LOG_NOTICE, "setInfo: rename parent dir\n");
      return CompleteRequest(irp, STATUS_ACCESS_DENIED, 0);
    }
    return PassSetInformation(volume, irp, file, cls);
  }
  // The locked folder itself is never renamed or deleted, whoever asks, paused or not.
  if (lock.pathIsEntry && IsRenameOrDelete(cls)) {
    nbfsLog(LOG_NOTICE, "cannot rename or delete Service Directory\n");
    return CompleteRequest(irp, STATUS_ACCESS_DENIED, 0);
  }
  if (!lock.applies) return PassSetInformation(volume, irp, file, cls);

  AccessInput input{lock.flags, lock.permission, isNetworkCaller(), isSystemProcess(), true};
  switch (DecideAccess(RequestKind::kSetInformation, input)) {
    case AccessVerdict::kAllowLocalSystem:
      nbfsLog(LOG_NOTICE, "setInfo: local system proc, path=%ws\n", path.Name());
      break;
    case AccessVerdict::kDenyNoAccess:
      nbfsLog(LOG_NOTICE, "setInfo: NO ACCESS: access denied\n");
      return CompleteRequest(irp, STATUS_ACCESS_DENIED, 0);
    case AccessVerdict::kDenyReadOnly:
      nbfsLog(LOG_NOTICE, "setInfo: READONLY: access denied\n");
      return CompleteRequest(irp, STATUS_ACCESS_DENIED, 0);
    case AccessVerdict::kAllow:
      break;
  }
  return PassSetInformation(volume, irp, file, cls);
}

NTSTATUS queryInfo(PDEVICE_OBJECT device, PIRP irp) {
  if (IsControlDevice(device)) return CompleteRequest(irp, STATUS_SUCCESS, 0);
  VolumeGuard guard(device, irp);
  if (!guard) return guard.Decline(irp);
  VolumeRecord* volume = VolumeOf(device);
  if (!volume->attached) {
    nbfsLog(LOG_NOTICE, "queryInformation: not Attached yet\n");
    return PassOn(volume, irp);
  }
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  if (!volume->active || !file) return PassOn(volume, irp);
  CachedName path(file);
  if (!path.Found()) return PassOn(volume, irp);

  GoverningLock lock = ResolveGoverningLock(volume, path.Name(), path.Length());
  if (!lock.applies) return PassOn(volume, irp);
  AccessInput input{lock.flags, lock.permission, isNetworkCaller(), isSystemProcess(), false};
  switch (DecideAccess(RequestKind::kQueryInformation, input)) {
    case AccessVerdict::kAllowLocalSystem:
      nbfsLog(LOG_NOTICE, "queryInfo: local system proc, path=%ws\n", path.Name());
      break;
    case AccessVerdict::kDenyNoAccess:
    case AccessVerdict::kDenyReadOnly:
      nbfsLog(LOG_NOTICE, "queryInfo: NO ACCESS: access denied\n");
      return CompleteRequest(irp, STATUS_ACCESS_DENIED, 0);
    case AccessVerdict::kAllow:
      break;
  }
  return PassOn(volume, irp);
}
