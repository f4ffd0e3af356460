// Decoding a request on one of the driver's devices.
#include "filtered_request.h"

FilteredRequest::FilteredRequest(PDEVICE_OBJECT device, PIRP irp, const char* notAttached)
    : irp_(irp), stack_(IoGetCurrentIrpStackLocation(irp)) {
  if (IsControlDevice(device)) return;
  volume_ = VolumeOf(device);
  // A reference that keeps the volume record alive while the request is inside the
  // filter belongs here (acquired now, released by the destructor).
  if (!volume_->attached) {
    nbfsLog(LOG_NOTICE, notAttached);
    return;
  }
  checkable_ = volume_->active && stack_->FileObject;
}

FilteredRequest::~FilteredRequest() {
  // ... and its release here, once the request has been completed or passed on.
}

NTSTATUS FilteredRequest::Skip() {
  if (!volume_) return CompleteRequest(irp_, STATUS_SUCCESS, 0);
  return PassOn();
}

bool FilteredRequest::LookUpName() {
  name_.emplace(stack_->FileObject);
  return name_->Found();
}
