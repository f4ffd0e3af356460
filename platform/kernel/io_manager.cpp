// I/O manager: device objects, device stacks and the life of an IRP.
#include <cassert>
#include <condition_variable>
#include <mutex>
#include <new>

#include <ntifs.h>

#include "nb/kernel/clock.h"
#include "nb/kernel/io.h"
#include "nb/kernel/kernel.h"
#include "nb/kernel/object_namespace.h"
#include "nb/kernel/object_references.h"

namespace nb::kernel {

struct IrpWaiter {
  std::mutex mutex;
  std::condition_variable done;
  bool completed = false;
};

namespace {

std::mutex& DeviceTreeLock() { return CurrentKernel().DeviceTreeLock(); }

std::u16string ToString(PCUNICODE_STRING s) {
  return s && s->Buffer ? std::u16string(s->Buffer, s->Length / sizeof(WCHAR)) : std::u16string();
}

// The end of a device whose last reference has gone.
void DestroyDevice(void* object) {
  auto* device = static_cast<PDEVICE_OBJECT>(object);
  delete[] device->Name.Buffer;
  ::operator delete(device->DeviceExtension);
  delete device;
}

// A device that goes away tells the device attached directly above it through that
// driver's FastIoDetachDevice, which detaches (and normally deletes) it; that deletion
// tells the next one up in turn. A device still attached afterwards is detached here.
void DetachDevicesAbove(PDEVICE_OBJECT device) {
  PDEVICE_OBJECT above;
  {
    std::lock_guard lock(DeviceTreeLock());
    above = device->AttachedDevice;
    if (above) ObReferenceObject(above);
  }
  if (!above) return;
  PFAST_IO_DISPATCH table = above->DriverObject->FastIoDispatch;
  if (table && table->SizeOfFastIoDispatch > offsetof(FAST_IO_DISPATCH, FastIoDetachDevice) &&
      table->FastIoDetachDevice) {
    table->FastIoDetachDevice(above, device);
  }
  IoDetachDevice(device);
  ObDereferenceObject(above);
}

}  // namespace

}  // namespace nb::kernel

using namespace nb::kernel;

NTSTATUS IoCreateDevice(PDRIVER_OBJECT driverObject, ULONG deviceExtensionSize, PUNICODE_STRING deviceName,
                        ULONG deviceType, ULONG deviceCharacteristics, BOOLEAN exclusive,
                        PDEVICE_OBJECT* deviceObject) {
  *deviceObject = nullptr;
  auto* device = new (std::nothrow) DEVICE_OBJECT{};
  if (!device) return STATUS_INSUFFICIENT_RESOURCES;
  if (deviceExtensionSize) {
    device->DeviceExtension = ::operator new(deviceExtensionSize, std::nothrow);
    if (!device->DeviceExtension) {
      delete device;
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(device->DeviceExtension, 0, deviceExtensionSize);
  }
  device->Type = 3;
  device->Size = sizeof(DEVICE_OBJECT);
  device->DriverObject = driverObject;
  device->DeviceType = deviceType;
  device->Characteristics = deviceCharacteristics;
  device->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);
  device->StackSize = 1;
  CurrentKernel().References().Track(device, DestroyDevice);
  if (deviceName && deviceName->Length) {
    std::u16string name = ToString(deviceName);
    NTSTATUS status = CurrentKernel().Namespace().Insert(name, ObjectKind::kDevice, device);
    if (!NT_SUCCESS(status)) {
      ObDereferenceObject(device);
      return status;
    }
    auto* buffer = new WCHAR[name.size() + 1];
    std::memcpy(buffer, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
    RtlInitUnicodeString(&device->Name, buffer);
    device->Flags |= DO_DEVICE_HAS_NAME;
  }
  {
    std::lock_guard lock(DeviceTreeLock());
    device->NextDevice = driverObject->DeviceObject;
    driverObject->DeviceObject = device;
  }
  *deviceObject = device;
  return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT deviceObject) {
  {
    std::lock_guard lock(DeviceTreeLock());
    assert(!deviceObject->DeletePending && "deleting a device twice");
    deviceObject->DeletePending = TRUE;
  }
  DetachDevicesAbove(deviceObject);
  CurrentKernel().Clock().ForgetDevice(deviceObject);
  if (deviceObject->Flags & DO_DEVICE_HAS_NAME) CurrentKernel().Namespace().RemoveObject(deviceObject);
  {
    std::lock_guard lock(DeviceTreeLock());
    PDEVICE_OBJECT* link = &deviceObject->DriverObject->DeviceObject;
    while (*link && *link != deviceObject) link = &(*link)->NextDevice;
    if (*link) *link = deviceObject->NextDevice;
    assert(!deviceObject->AttachedTo && "deleting a device that is still attached");
  }
  // Requests still inside the device's driver keep it (and its extension) until they end.
  ObDereferenceObject(deviceObject);
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING symbolicLinkName, PUNICODE_STRING deviceName) {
  return CurrentKernel().Namespace().InsertLink(ToString(symbolicLinkName), ToString(deviceName));
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING symbolicLinkName) {
  return CurrentKernel().Namespace().Remove(ToString(symbolicLinkName));
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT deviceObject) {
  std::lock_guard lock(DeviceTreeLock());
  while (deviceObject->AttachedDevice) deviceObject = deviceObject->AttachedDevice;
  return deviceObject;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT deviceObject) {
  std::lock_guard lock(DeviceTreeLock());
  while (deviceObject->AttachedDevice) deviceObject = deviceObject->AttachedDevice;
  ObReferenceObject(deviceObject);
  return deviceObject;
}

PDEVICE_OBJECT IoGetLowerDeviceObject(PDEVICE_OBJECT deviceObject) {
  std::lock_guard lock(DeviceTreeLock());
  PDEVICE_OBJECT lower = deviceObject->AttachedTo;
  if (lower) ObReferenceObject(lower);
  return lower;
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT sourceDevice, PDEVICE_OBJECT targetDevice) {
  std::lock_guard lock(DeviceTreeLock());
  PDEVICE_OBJECT top = targetDevice;
  while (top->AttachedDevice) top = top->AttachedDevice;
  if (top->DeletePending) return nullptr;
  // The device below stays while something is attached to it.
  ObReferenceObject(top);
  top->AttachedDevice = sourceDevice;
  sourceDevice->AttachedTo = top;
  sourceDevice->StackSize = static_cast<CHAR>(top->StackSize + 1);
  sourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT targetDevice) {
  {
    std::lock_guard lock(DeviceTreeLock());
    PDEVICE_OBJECT above = targetDevice->AttachedDevice;
    if (!above) return;
    above->AttachedTo = nullptr;
    targetDevice->AttachedDevice = nullptr;
  }
  ObDereferenceObject(targetDevice);
}

namespace {

// The top of the stack that serves a file object, under the device-tree lock: the mounted
// volume's stack when the file's device has one, else the device's own.
PDEVICE_OBJECT RelatedDeviceLocked(PFILE_OBJECT fileObject) {
  PVPB vpb = fileObject->Vpb;
  if (!vpb && fileObject->DeviceObject->Vpb && (fileObject->DeviceObject->Vpb->Flags & VPB_MOUNTED))
    vpb = fileObject->DeviceObject->Vpb;
  PDEVICE_OBJECT device = vpb && vpb->DeviceObject ? vpb->DeviceObject : fileObject->DeviceObject;
  while (device->AttachedDevice) device = device->AttachedDevice;
  return device;
}

}  // namespace

PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT fileObject) {
  std::lock_guard lock(DeviceTreeLock());
  return RelatedDeviceLocked(fileObject);
}

VOID IoAcquireVpbSpinLock(PKIRQL irql) {
  DeviceTreeLock().lock();
  *irql = KeGetCurrentIrql();
}

VOID IoReleaseVpbSpinLock(KIRQL) { DeviceTreeLock().unlock(); }

PIRP IoAllocateIrp(CHAR stackSize, BOOLEAN) {
  if (stackSize < 1) return nullptr;
  auto* irp = new (std::nothrow) IRP{};
  if (!irp) return nullptr;
  irp->Stack = new (std::nothrow) IO_STACK_LOCATION[stackSize]{};
  if (!irp->Stack) {
    delete irp;
    return nullptr;
  }
  irp->Type = 6;
  irp->Size = sizeof(IRP);
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = irp->Stack + stackSize;
  return irp;
}

VOID IoFreeIrp(PIRP irp) {
  delete[] irp->Stack;
  delete irp;
}

NTSTATUS IoCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp) {
  IoSetNextIrpStackLocation(irp);
  assert(irp->CurrentLocation > 0 && "request has no stack location left");
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  stack->DeviceObject = deviceObject;
  PDRIVER_DISPATCH dispatch = deviceObject->DriverObject->MajorFunction[stack->MajorFunction];
  ObReferenceObject(deviceObject);
  NTSTATUS status = dispatch(deviceObject, irp);
  ObDereferenceObject(deviceObject);
  return status;
}

VOID IoCompleteRequest(PIRP irp, CHAR) {
  assert(irp->IoStatus.Status != STATUS_PENDING && "completing a request with STATUS_PENDING");
  // Walk up the stack, giving every location's completion routine its turn.
  for (PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp); irp->CurrentLocation <= irp->StackCount;
       ++stack) {
    IoSkipCurrentIrpStackLocation(irp);
    irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
    NTSTATUS status = irp->IoStatus.Status;
    bool invoke = stack->CompletionRoutine &&
                  ((NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                   (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                   (irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL)));
    if (invoke) {
      PDEVICE_OBJECT device =
          irp->CurrentLocation == irp->StackCount + 1 ? nullptr : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
      PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
      PVOID context = stack->Context;
      std::memset(stack, 0, sizeof *stack);
      if (routine(device, irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
    } else {
      if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) IoMarkIrpPending(irp);
      std::memset(stack, 0, sizeof *stack);
    }
  }
  if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
  if (IrpWaiter* waiter = irp->Waiter) {
    std::lock_guard lock(waiter->mutex);
    waiter->completed = true;
    waiter->done.notify_all();
  }
}

namespace nb::kernel {

PIRP BuildIrp(PDEVICE_OBJECT target, PFILE_OBJECT file, UCHAR majorFunction, UCHAR minorFunction) {
  PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
  if (!irp) return nullptr;
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.OriginalFileObject = file;
  PIO_STACK_LOCATION first = IoGetNextIrpStackLocation(irp);
  first->MajorFunction = majorFunction;
  first->MinorFunction = minorFunction;
  first->FileObject = file;
  return irp;
}

NTSTATUS SendAndWait(PDEVICE_OBJECT target, PIRP irp, IO_STATUS_BLOCK* ioStatus) {
  IrpWaiter waiter;
  irp->Waiter = &waiter;
  NTSTATUS status = IoCallDriver(target, irp);
  {
    std::unique_lock lock(waiter.mutex);
    if (status == STATUS_PENDING) waiter.done.wait(lock, [&] { return waiter.completed; });
  }
  assert(waiter.completed && "a dispatch routine returned without completing or pending the request");
  if (ioStatus) *ioStatus = irp->IoStatus;
  status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return status;
}

DeviceReference TargetOf(PFILE_OBJECT file) {
  std::lock_guard lock(DeviceTreeLock());
  PDEVICE_OBJECT device = RelatedDeviceLocked(file);
  ObReferenceObject(device);
  return DeviceReference(device);
}

bool VpbMounted(PVPB vpb) {
  std::lock_guard lock(DeviceTreeLock());
  return vpb && (vpb->Flags & VPB_MOUNTED);
}

DeviceReference::~DeviceReference() {
  if (device_) ObDereferenceObject(device_);
}

}  // namespace nb::kernel
