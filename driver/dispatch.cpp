// The driver's one MajorFunction table, request completion and passing on.
#include "driver.h"
#include "log.h"

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS PassOn(VolumeRecord* volume, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(volume->lower, irp);
}

// Requests to the control device complete at once (that is how clients open and close
// it); a filter passes them on.
NTSTATUS nbfsPassTH(PDEVICE_OBJECT device, PIRP irp) {
  if (IsControlDevice(device)) return CompleteRequest(irp, STATUS_SUCCESS, 0);
  VolumeRecord* volume = VolumeOf(device);
  if (!volume->attached) nbfsLog(LOG_NOTICE, "nbfsPassTH: not Attached yet\n");
  return PassOn(volume, irp);
}

void SetDispatchTable(PDRIVER_OBJECT driver) {
  for (auto& routine : driver->MajorFunction) routine = nbfsPassTH;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = nbfsDeviceControl;
}
