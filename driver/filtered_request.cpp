// Decoding a request on one of the driver's devices.
#include "filtered_request.h"

FilteredRequest::FilteredRequest(PDEVICE_OBJECT device, PIRP irp, const char* notAttached)
    : irp_(irp), stack_(IoGetCurrentIrpStackLocation(irp)) {
  if (IsControlDevice(device)) return;
  volume_ = VolumeOf(device);
  guard_.emplace(device, irp);
  if (!*guard_) return;  // tear-down under way: Skip() declines it
  if (!volume_->attached) {
    nbfsLog(LOG_NOTICE, notAttached);
    return;
  }
  checkable_ = volume_->active && stack_->FileObject;
}

NTSTATUS FilteredRequest::Skip() {
  if (!volume_) return CompleteRequest(irp_, STATUS_SUCCESS, 0);
  if (!*guard_) return guard_->Decline(irp_);
  return PassOn();
}

bool FilteredRequest::LookUpName() {
  name_.emplace(stack_->FileObject);
  return name_->Found();
}
