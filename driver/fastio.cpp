// Fast I/O: every call is forwarded to the same routine of the driver below, with the
// lower device in place of the filter's own. Calls that read, write, query or lock a
// file object whose recorded name a lock governs are declined instead, so that they come
// again as IRPs and meet the checks (and restart an open lock's idle time); unlocked
// files keep the fast path. The control device has nothing below it and declines
// everything.
#include "fastio.h"

#include "driver.h"
#include "lock_resolution.h"
#include "log.h"
#include "name_cache.h"
#include "nb/resource_guard.h"

namespace {

// The device below a filter, with the filter's record protected from tear-down for the
// length of the forwarded call; none for the control device or a filter being torn down.
class LowerDevice {
 public:
  explicit LowerDevice(PDEVICE_OBJECT device)
      : volume_(device && !IsControlDevice(device) ? VolumeOf(device) : nullptr) {
    if (volume_ && !ExAcquireRundownProtection(&volume_->rundown)) volume_ = nullptr;
  }
  ~LowerDevice() {
    if (volume_) ExReleaseRundownProtection(&volume_->rundown);
  }
  LowerDevice(const LowerDevice&) = delete;
  LowerDevice& operator=(const LowerDevice&) = delete;
  PDEVICE_OBJECT get() const { return volume_ ? volume_->lower : nullptr; }

 private:
  VolumeRecord* volume_;
};

template <typename Slot>
Slot LowerRoutine(PDEVICE_OBJECT lower, Slot FAST_IO_DISPATCH::*slot) {
  if (!lower) return nullptr;
  PFAST_IO_DISPATCH table = lower->DriverObject->FastIoDispatch;
  return table ? table->*slot : nullptr;
}

// True when a lock of the filter's active volume governs the file object's recorded
// name, paused or not: the request must come as an IRP.
bool MustComeAsIrp(PDEVICE_OBJECT device, PFILE_OBJECT file) {
  if (!device || IsControlDevice(device) || !file) return false;
  VolumeRecord* volume = VolumeOf(device);
  if (!volume->attached || !volume->active) return false;
  CachedName name(file);
  return name.Found() && IsGoverned(volume, name.Name(), name.Length());
}

// Boolean routines answer FALSE when nobody below can serve the call.
template <typename Slot, typename... Args>
BOOLEAN ForwardBoolean(PDEVICE_OBJECT device, Slot FAST_IO_DISPATCH::*slot, Args... args) {
  LowerDevice held(device);
  PDEVICE_OBJECT lower = held.get();
  Slot routine = LowerRoutine(lower, slot);
  return routine ? routine(args..., lower) : FALSE;
}

// The same for a call on a file object that a lock may govern.
template <typename Slot, typename... Args>
BOOLEAN ForwardUnlocked(PDEVICE_OBJECT device, Slot FAST_IO_DISPATCH::*slot, PFILE_OBJECT file, Args... args) {
  if (MustComeAsIrp(device, file)) return FALSE;
  return ForwardBoolean(device, slot, file, args...);
}

template <typename Slot, typename... Args>
NTSTATUS ForwardStatus(PDEVICE_OBJECT device, Slot FAST_IO_DISPATCH::*slot, Args... args) {
  LowerDevice held(device);
  PDEVICE_OBJECT lower = held.get();
  Slot routine = LowerRoutine(lower, slot);
  return routine ? routine(args..., lower) : STATUS_NOT_IMPLEMENTED;
}

BOOLEAN nbfsFastIoCheckIfPossible(PFILE_OBJECT file, PLARGE_INTEGER offset, ULONG length, BOOLEAN wait, ULONG key,
                                  BOOLEAN read, PIO_STATUS_BLOCK status, PDEVICE_OBJECT device) {
  return ForwardUnlocked(device, &FAST_IO_DISPATCH::FastIoCheckIfPossible, file, offset, length, wait, key, read,
                        status);
}

BOOLEAN nbfsFastIoRead(PFILE_OBJECT file, PLARGE_INTEGER offset, ULONG length, BOOLEAN wait, ULONG key,
                       PVOID buffer, PIO_STATUS_BLOCK status, PDEVICE_OBJECT device) {
  return ForwardUnlocked(device, &FAST_IO_DISPATCH::FastIoRead, file, offset, length, wait, key, buffer, status);
}

BOOLEAN nbfsFastIoWrite(PFILE_OBJECT file, PLARGE_INTEGER offset, ULONG length, BOOLEAN wait, ULONG key,
                        PVOID buffer, PIO_STATUS_BLOCK status, PDEVICE_OBJECT device) {
  return ForwardUnlocked(device, &FAST_IO_DISPATCH::FastIoWrite, file, offset, length, wait, key, buffer, status);
}

BOOLEAN nbfsFastIoQueryBasicInfo(PFILE_OBJECT file, BOOLEAN wait, PFILE_BASIC_INFORMATION info,
                                 PIO_STATUS_BLOCK status, PDEVICE_OBJECT device) {
  return ForwardUnlocked(device, &FAST_IO_DISPATCH::FastIoQueryBasicInfo, file, wait, info, status);
}

BOOLEAN nbfsFastIoQueryStandardInfo(PFILE_OBJECT file, BOOLEAN wait, PFILE_STANDARD_INFORMATION info,
                                    PIO_STATUS_BLOCK status, PDEVICE_OBJECT device) {
  return ForwardUnlocked(device, &FAST_IO_DISPATCH::FastIoQueryStandardInfo, file, wait, info, status);
}

BOOLEAN nbfsFastIoLock(PFILE_OBJECT file, PLARGE_INTEGER offset, PLARGE_INTEGER length, PEPROCESS process,
                       ULONG key, BOOLEAN failImmediately, BOOLEAN exclusive, PIO_STATUS_BLOCK status,
                       PDEVICE_OBJECT device) {
  return ForwardUnlocked(device, &FAST_IO_DISPATCH::FastIoLock, file, offset, length, process, key, failImmediately,
                        exclusive, status);
}

BOOLEAN nbfsFastIoUnlockSingle(PFILE_OBJECT file, PLARGE_INTEGER offset, PLARGE_INTEGER length, PEPROCESS process,
                               ULONG key, PIO_STATUS_BLOCK status, PDEVICE_OBJECT device) {
  return ForwardUnlocked(device, &FAST_IO_DISPATCH::FastIoUnlockSingle, file, offset, length, process, key, status);
}

BOOLEAN nbfsFastIoUnlockAll(PFILE_OBJECT file, PEPROCESS process, PIO_STATUS_BLOCK status, PDEVICE_OBJECT device) {
  return ForwardUnlocked(device, &FAST_IO_DISPATCH::FastIoUnlockAll, file, process, status);
}

BOOLEAN nbfsFastIoUnlockAllByKey(PFILE_OBJECT file, PVOID processId, ULONG key, PIO_STATUS_BLOCK status,
                                 PDEVICE_OBJECT device) {
  return ForwardUnlocked(device, &FAST_IO_DISPATCH::FastIoUnlockAllByKey, file, processId, key, status);
}

BOOLEAN nbfsFastIoDeviceControl(PFILE_OBJECT file, BOOLEAN wait, PVOID input, ULONG inputLength, PVOID output,
                                ULONG outputLength, ULONG code, PIO_STATUS_BLOCK status, PDEVICE_OBJECT device) {
  return ForwardBoolean(device, &FAST_IO_DISPATCH::FastIoDeviceControl, file, wait, input, inputLength, output,
                        outputLength, code, status);
}

BOOLEAN nbfsFastIoQueryNetworkOpenInfo(PFILE_OBJECT file, BOOLEAN wait, PFILE_NETWORK_OPEN_INFORMATION info,
                                       PIO_STATUS_BLOCK status, PDEVICE_OBJECT device) {
  return ForwardUnlocked(device, &FAST_IO_DISPATCH::FastIoQueryNetworkOpenInfo, file, wait, info, status);
}

NTSTATUS nbfsAcquireForModWrite(PFILE_OBJECT file, PLARGE_INTEGER endingOffset, PERESOURCE* resource,
                                PDEVICE_OBJECT device) {
  return ForwardStatus(device, &FAST_IO_DISPATCH::AcquireForModWrite, file, endingOffset, resource);
}

BOOLEAN nbfsMdlRead(PFILE_OBJECT file, PLARGE_INTEGER offset, ULONG length, ULONG key, PMDL* chain,
                    PIO_STATUS_BLOCK status, PDEVICE_OBJECT device) {
  return ForwardUnlocked(device, &FAST_IO_DISPATCH::MdlRead, file, offset, length, key, chain, status);
}

BOOLEAN nbfsMdlReadComplete(PFILE_OBJECT file, PMDL chain, PDEVICE_OBJECT device) {
  return ForwardBoolean(device, &FAST_IO_DISPATCH::MdlReadComplete, file, chain);
}

BOOLEAN nbfsPrepareMdlWrite(PFILE_OBJECT file, PLARGE_INTEGER offset, ULONG length, ULONG key, PMDL* chain,
                            PIO_STATUS_BLOCK status, PDEVICE_OBJECT device) {
  return ForwardUnlocked(device, &FAST_IO_DISPATCH::PrepareMdlWrite, file, offset, length, key, chain, status);
}

BOOLEAN nbfsMdlWriteComplete(PFILE_OBJECT file, PLARGE_INTEGER offset, PMDL chain, PDEVICE_OBJECT device) {
  return ForwardBoolean(device, &FAST_IO_DISPATCH::MdlWriteComplete, file, offset, chain);
}

BOOLEAN nbfsFastIoReadCompressed(PFILE_OBJECT file, PLARGE_INTEGER offset, ULONG length, ULONG key, PVOID buffer,
                                 PMDL* chain, PIO_STATUS_BLOCK status, PCOMPRESSED_DATA_INFO info, ULONG infoLength,
                                 PDEVICE_OBJECT device) {
  return ForwardUnlocked(device, &FAST_IO_DISPATCH::FastIoReadCompressed, file, offset, length, key, buffer, chain,
                        status, info, infoLength);
}

BOOLEAN nbfsFastIoWriteCompressed(PFILE_OBJECT file, PLARGE_INTEGER offset, ULONG length, ULONG key, PVOID buffer,
                                  PMDL* chain, PIO_STATUS_BLOCK status, PCOMPRESSED_DATA_INFO info,
                                  ULONG infoLength, PDEVICE_OBJECT device) {
  return ForwardUnlocked(device, &FAST_IO_DISPATCH::FastIoWriteCompressed, file, offset, length, key, buffer, chain,
                        status, info, infoLength);
}

BOOLEAN nbfsMdlReadCompleteCompressed(PFILE_OBJECT file, PMDL chain, PDEVICE_OBJECT device) {
  return ForwardBoolean(device, &FAST_IO_DISPATCH::MdlReadCompleteCompressed, file, chain);
}

BOOLEAN nbfsMdlWriteCompleteCompressed(PFILE_OBJECT file, PLARGE_INTEGER offset, PMDL chain, PDEVICE_OBJECT device) {
  return ForwardBoolean(device, &FAST_IO_DISPATCH::MdlWriteCompleteCompressed, file, offset, chain);
}

// Declines opens that already carry a file object; otherwise the lower device gets the
// request's current stack location for the duration of the call.
BOOLEAN nbfsFastIoQueryOpen(PIRP irp, PFILE_NETWORK_OPEN_INFORMATION info, PDEVICE_OBJECT device) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->FileObject) return FALSE;
  LowerDevice held(device);
  PDEVICE_OBJECT lower = held.get();
  PFAST_IO_QUERY_OPEN routine = LowerRoutine(lower, &FAST_IO_DISPATCH::FastIoQueryOpen);
  if (!routine) return FALSE;
  stack->DeviceObject = lower;
  BOOLEAN result = routine(irp, info, lower);
  stack->DeviceObject = device;
  return result;
}

NTSTATUS nbfsReleaseForModWrite(PFILE_OBJECT file, PERESOURCE resource, PDEVICE_OBJECT device) {
  return ForwardStatus(device, &FAST_IO_DISPATCH::ReleaseForModWrite, file, resource);
}

NTSTATUS nbfsAcquireForCcFlush(PFILE_OBJECT file, PDEVICE_OBJECT device) {
  return ForwardStatus(device, &FAST_IO_DISPATCH::AcquireForCcFlush, file);
}

NTSTATUS nbfsReleaseForCcFlush(PFILE_OBJECT file, PDEVICE_OBJECT device) {
  return ForwardStatus(device, &FAST_IO_DISPATCH::ReleaseForCcFlush, file);
}

}  // namespace

void FillFastIoDispatch(PFAST_IO_DISPATCH table) {
  RtlZeroMemory(table, sizeof *table);
  table->SizeOfFastIoDispatch = sizeof *table;
  table->FastIoCheckIfPossible = nbfsFastIoCheckIfPossible;
  table->FastIoRead = nbfsFastIoRead;
  table->FastIoWrite = nbfsFastIoWrite;
  table->FastIoQueryBasicInfo = nbfsFastIoQueryBasicInfo;
  table->FastIoQueryStandardInfo = nbfsFastIoQueryStandardInfo;
  table->FastIoLock = nbfsFastIoLock;
  table->FastIoUnlockSingle = nbfsFastIoUnlockSingle;
  table->FastIoUnlockAll = nbfsFastIoUnlockAll;
  table->FastIoUnlockAllByKey = nbfsFastIoUnlockAllByKey;
  table->FastIoDeviceControl = nbfsFastIoDeviceControl;
  // AcquireFileForNtCreateSection and ReleaseFileForNtCreateSection stay empty.
  table->FastIoDetachDevice = nbfsFastIoDetachDevice;
  table->FastIoQueryNetworkOpenInfo = nbfsFastIoQueryNetworkOpenInfo;
  table->AcquireForModWrite = nbfsAcquireForModWrite;
  table->MdlRead = nbfsMdlRead;
  table->MdlReadComplete = nbfsMdlReadComplete;
  table->PrepareMdlWrite = nbfsPrepareMdlWrite;
  table->MdlWriteComplete = nbfsMdlWriteComplete;
  table->FastIoReadCompressed = nbfsFastIoReadCompressed;
  table->FastIoWriteCompressed = nbfsFastIoWriteCompressed;
  table->MdlReadCompleteCompressed = nbfsMdlReadCompleteCompressed;
  table->MdlWriteCompleteCompressed = nbfsMdlWriteCompleteCompressed;
  table->FastIoQueryOpen = nbfsFastIoQueryOpen;
  table->ReleaseForModWrite = nbfsReleaseForModWrite;
  table->AcquireForCcFlush = nbfsAcquireForCcFlush;
  table->ReleaseForCcFlush = nbfsReleaseForCcFlush;
}
