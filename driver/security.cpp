// IRP_MJ_QUERY_SECURITY and IRP_MJ_SET_SECURITY on governed paths; no message, and the
// System process is not exempt.
#include "filtered_request.h"

namespace {
constexpr VerdictLog kSecurityLog{nullptr, LOG_NOTICE, nullptr, nullptr, LOG_NOTICE};
}  // namespace

NTSTATUS nbfsSecurity(PDEVICE_OBJECT device, PIRP irp) {
  FilteredRequest request(device, irp, "nbfsSecurity: not Attached yet\n");
  if (!request.Checkable() || !request.LookUpName()) return request.Skip();

  GoverningLock lock = request.ResolveName();
  if (!lock.applies || !(lock.flags & (NBFS_LOCK_NOACCESS | NBFS_LOCK_READONLY))) return request.PassOn();
  AccessInput input{lock.flags, lock.permission, isNetworkCaller(), false,
                    request.Stack()->MajorFunction == IRP_MJ_SET_SECURITY};
  if (CompleteIfDenied(request, DecideAccess(RequestKind::kSecurity, input), kSecurityLog)) return STATUS_ACCESS_DENIED;
  return request.PassOn();
}
