// Every other request: pipes and mailslots refused, closes forget their file object's
// name, reads, writes and the rest checked against the governing lock.
#include "filtered_request.h"
#include "trusted.h"

namespace {
constexpr VerdictLog kPassLog{"nbfsPassTH: local system proc, MJ=0x%x, path=%ws\n", LOG_NOTICE,
                              "nbfsPassTH: NO ACCESS: access denied (MJ=0x%x, path=%ws)\n",
                              "nbfsPassTH: READONLY: access denied (MJ=0x%x, path=%ws)\n", LOG_ERROR};
}  // namespace

// Requests to the control device complete at once: that is how clients open and close it.
NTSTATUS nbfsPassTH(PDEVICE_OBJECT device, PIRP irp) {
  FilteredRequest request(device, irp, "nbfsPassTH: not Attached yet\n");
  if (!request.Checkable()) return request.Skip();

  UCHAR major = request.Stack()->MajorFunction;
  switch (major) {
    case IRP_MJ_CREATE_NAMED_PIPE:
    case IRP_MJ_CREATE_MAILSLOT:
      nbfsLog(LOG_ERROR, "nbfsPass: MAILSLOT or PIPE\n");
      return request.Complete(STATUS_ACCESS_DENIED);
    case IRP_MJ_CLEANUP:
      return request.PassOn();
    case IRP_MJ_CLOSE:
      (void)NameCacheForget(request.File());
      return request.PassOn();
    default:
      break;
  }

  if (!request.LookUpName()) return request.PassOn();
  GoverningLock lock = request.ResolveName();
  if (!lock.applies) return request.PassOn();
  AccessInput input{lock.flags, lock.permission, isNetworkCaller(), isSystemProcess(), major == IRP_MJ_WRITE};
  if (CompleteIfDenied(request, DecideAccess(RequestKind::kOther, input), kPassLog, static_cast<ULONG>(major),
                       request.Name().Name()))
    return STATUS_ACCESS_DENIED;
  return request.PassOn();
}
