// The driver's one MajorFunction table, request completion and passing on.
#include "driver.h"

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

void SetDispatchTable(PDRIVER_OBJECT driver) {
  for (auto& routine : driver->MajorFunction) routine = nbfsPassTH;
  driver->MajorFunction[IRP_MJ_CREATE] = nbfsCreate;
  driver->MajorFunction[IRP_MJ_QUERY_INFORMATION] = queryInfo;
  driver->MajorFunction[IRP_MJ_SET_INFORMATION] = setInfo;
  driver->MajorFunction[IRP_MJ_DIRECTORY_CONTROL] = nbfsDir;
  driver->MajorFunction[IRP_MJ_FILE_SYSTEM_CONTROL] = nbfsFsControl;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = nbfsDeviceControl;
  driver->MajorFunction[IRP_MJ_QUERY_SECURITY] = nbfsSecurity;
  driver->MajorFunction[IRP_MJ_SET_SECURITY] = nbfsSecurity;
}
