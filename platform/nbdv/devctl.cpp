// Device control on nbdv's control device: decodes the requests and runs them on the list.
#include "nb/resource_guard.h"
#include "nbdv.h"

namespace {

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = NT_SUCCESS(status) ? information : 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS ReadDevice(PIRP irp, ULONG inputLength, NBDV_DEVICE* device) {
  if (inputLength < sizeof(NBDV_DEVICE) || !irp->AssociatedIrp.SystemBuffer) return STATUS_INVALID_PARAMETER;
  RtlCopyMemory(device, irp->AssociatedIrp.SystemBuffer, sizeof *device);
  return STATUS_SUCCESS;
}

NTSTATUS WriteUlong(PIRP irp, ULONG outputLength, ULONG value, ULONG_PTR* information) {
  if (outputLength < sizeof(ULONG) || !irp->AssociatedIrp.SystemBuffer) return STATUS_BUFFER_TOO_SMALL;
  RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &value, sizeof value);
  *information = sizeof value;
  return STATUS_SUCCESS;
}

}  // namespace

// Completes every request itself.
NTSTATUS nbdvDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  auto* extension = static_cast<NbdvExtension*>(device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  ULONG_PTR information = 0;
  NTSTATUS status;
  bool changed = false;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case NBDV_ADD_DEVICE: {
      NBDV_DEVICE record;
      if (!NT_SUCCESS(status = ReadDevice(irp, inputLength, &record))) break;
      nb::ExclusiveLock guard(extension->listLock);
      status = AddDevice(extension->devices, record.letter, record.serial, &changed);
      break;
    }
    case NBDV_DELETE_DEVICE: {
      NBDV_DEVICE record;
      if (!NT_SUCCESS(status = ReadDevice(irp, inputLength, &record))) break;
      nb::ExclusiveLock guard(extension->listLock);
      status = DeleteDevice(extension->devices, record.serial);
      changed = NT_SUCCESS(status);
      break;
    }
    case NBDV_GET_COUNT: {
      ULONG count;
      {
        nb::SharedLock guard(extension->listLock);
        count = extension->devices.count;
      }
      status = WriteUlong(irp, outputLength, count, &information);
      break;
    }
    case NBDV_GET_LIST: {
      nb::SharedLock guard(extension->listLock);
      ULONG written = 0;
      status = ListDevices(extension->devices, irp->AssociatedIrp.SystemBuffer, outputLength, &written);
      information = written;
      break;
    }
    case NBDV_GET_VERSION:
      status = WriteUlong(irp, outputLength, NBDV_VERSION, &information);
      break;
    case NBDV_OPEN_EVENT: {
      ULONG handle;
      if (inputLength < sizeof handle || !irp->AssociatedIrp.SystemBuffer) {
        status = STATUS_INVALID_PARAMETER;
        break;
      }
      RtlCopyMemory(&handle, irp->AssociatedIrp.SystemBuffer, sizeof handle);
      status = OpenListEvent(extension, handle);
      break;
    }
    case NBDV_CLOSE_EVENT:
      CloseListEvent(extension);
      status = STATUS_SUCCESS;
      break;
    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }
  if (changed) PulseListEvent(extension);
  return Complete(irp, status, information);
}
