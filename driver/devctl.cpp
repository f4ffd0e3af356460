// Device control: decodes the protocol's requests and runs them against the lock table,
// the log and the other areas of the driver.
#include "control_request.h"
#include "driver.h"
#include "log.h"
#include "volume_guard.h"

namespace {

NTSTATUS WriteTwoUlongs(const ControlRequest& request, ULONG first, ULONG second, ULONG_PTR* information) {
  if (!OutputFits(request, 2 * sizeof(ULONG))) return STATUS_BUFFER_TOO_SMALL;
  static_cast<ULONG*>(request.buffer)[0] = first;
  static_cast<ULONG*>(request.buffer)[1] = second;
  *information = 2 * sizeof(ULONG);
  return STATUS_SUCCESS;
}

typedef NTSTATUS (*EntryOperation)(VolumeTable&, UCHAR, const WCHAR*);

NTSTATUS RunEntryOperation(const ControlRequest& request, EntryOperation operation) {
  NBFS_ENTRY entry;
  NTSTATUS status = ReadEntryInput(request, &entry);
  if (!NT_SUCCESS(status)) return status;
  return operation(Volumes(), entry.letter, entry.path);
}

// Tells whoever keeps the volume's answers that the set of paths governed by a lock (the
// paths whose verdict depends on the caller) may have changed, so that nothing kept for
// every caller outlives the change. Sent after the table operation has released every
// lock of the driver: the receiver waits for the host's requests in flight on the volume,
// and those may be waiting for the table. The record's protection is not held either
// (tear-down would wait for the notice); the filter device is kept by a reference.
void NotifyGovernedSetChanged(UCHAR letter) {
  PDEVICE_OBJECT device;
  {
    VolumeReference volume = FindVolume(Volumes(), letter);
    if (!volume) return;
    device = volume->device;
    ObReferenceObject(device);
  }
  IoNotifyVolumePolicyChange(device);
  ObDereferenceObject(device);
}

// The operations that change which paths are governed notify when they succeed: a folder
// entry added or deleted, a drive registered (attached or activated again, possibly with
// a drive-wide lock) or withdrawn. The others leave the governed set as it was, and so
// need no notice: SET_ENTRY changes the mode or time-out of a lock that exists before and
// after; PAUSE_ENTRY and RESUME_ENTRY, an idle time-out expiring (timer.cpp) and
// START_TIMEOUT_ENTRY change flags of an existing entry or of a drive whose lock holds
// through them (a timed drive lock keeps its saved type); trusted-process changes alter
// who may pass a governed path, never which paths are governed.
NTSTATUS Notified(NTSTATUS status, UCHAR letter) {
  if (NT_SUCCESS(status)) NotifyGovernedSetChanged(letter);
  return status;
}

NTSTATUS RunTableRequest(ULONG code, const ControlRequest& request, ULONG_PTR* information) {
  NBFS_ENTRY entry;
  NTSTATUS status;
  switch (code) {
    case ADD_SERVICE:
      if (!NT_SUCCESS(status = ReadEntryInput(request, &entry))) return status;
      return Notified(AddService(Volumes(), entry.timeout, entry.type, entry.letter, AttachToVolume), entry.letter);
    case DEL_SERVICE:
      if (!NT_SUCCESS(status = ReadEntryInput(request, &entry))) return status;
      return Notified(DelService(Volumes(), entry.letter), entry.letter);
    case ADD_ENTRY:
      if (!NT_SUCCESS(status = ReadEntryInput(request, &entry))) return status;
      return Notified(AddEntry(Volumes(), entry.timeout, entry.type, entry.letter, entry.path), entry.letter);
    case DEL_ENTRY:
      if (!NT_SUCCESS(status = ReadEntryInput(request, &entry))) return status;
      return Notified(DelEntry(Volumes(), entry.letter, entry.path), entry.letter);
    case SET_ENTRY:
      if (!NT_SUCCESS(status = ReadEntryInput(request, &entry))) return status;
      return SetEntry(Volumes(), entry.timeout, entry.type, entry.letter, entry.path);
    case PAUSE_ENTRY:
      return RunEntryOperation(request, PauseEntry);
    case RESUME_ENTRY:
      return RunEntryOperation(request, ResumeEntry);
    case START_TIMEOUT_ENTRY:
      return RunEntryOperation(request, StartTimeOutEntry);
    case GET_ENTRY_COUNT:
      return WriteUlong(request, GetEntryCount(Volumes()), information);
    case GET_ENTRY_INFO:
      *information = request.outputLength;
      return GetEntryInfo(Volumes(), request.buffer, request.outputLength);
    case GET_DRIVE_INFO:
      *information = request.outputLength;
      return GetDrvInfo(Volumes(), request.buffer, request.outputLength);
    case GET_ENTRY_INFO_IN_DRIVE: {
      UCHAR letter;
      if (!NT_SUCCESS(status = ReadLetter(request, &letter))) return status;
      *information = request.outputLength;
      return GetEntryInfo(Volumes(), letter, request.buffer, request.outputLength);
    }
    case GET_ENTRY_COUNT_IN_DRIVE: {
      UCHAR letter;
      if (!NT_SUCCESS(status = ReadLetter(request, &letter))) return status;
      if (!OutputFits(request, sizeof(ULONG))) return STATUS_BUFFER_TOO_SMALL;
      ULONG count;
      status = getEntCnt(Volumes(), letter, &count);
      (void)WriteUlong(request, count, information);  // 0 on failure, reported all the same
      return status;
    }
    case GET_VERSION:
      return WriteUlong(request, NBFS_VERSION, information);
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

NTSTATUS RunLogRequest(ULONG code, const ControlRequest& request, ULONG_PTR* information) {
  switch (code) {
    case LOG_START:
      if (request.inputLength < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
      return LogStart(*static_cast<const ULONG*>(request.buffer));
    case LOG_STOP:
      LogStop();
      return STATUS_SUCCESS;
    case LOG_COUNTS: {
      ULONG total;
      ULONG used;
      LogCounts(&total, &used);
      return WriteTwoUlongs(request, total, used, information);
    }
    case LOG_CHECK: {
      if (!OutputFits(request, 2 * sizeof(ULONG))) return STATUS_BUFFER_TOO_SMALL;
      ULONG records;
      ULONG used;
      NTSTATUS status = LogCheck(&records, &used);
      (void)WriteTwoUlongs(request, records, used, information);
      return status;
    }
    case LOG_READ: {
      if (!OutputFits(request, sizeof(NBFS_LOG_RECORD))) return STATUS_BUFFER_TOO_SMALL;
      *information = sizeof(NBFS_LOG_RECORD);
      NBFS_LOG_RECORD record{};
      NTSTATUS status = LogRead(&record);
      RtlCopyMemory(request.buffer, &record, sizeof record);
      return status;
    }
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

bool IsTableCode(ULONG code) {
  switch (code) {
    case ADD_SERVICE:
    case DEL_SERVICE:
    case ADD_ENTRY:
    case DEL_ENTRY:
    case GET_ENTRY_COUNT:
    case GET_ENTRY_INFO:
    case GET_DRIVE_INFO:
    case GET_ENTRY_INFO_IN_DRIVE:
    case GET_ENTRY_COUNT_IN_DRIVE:
    case SET_ENTRY:
    case PAUSE_ENTRY:
    case RESUME_ENTRY:
    case START_TIMEOUT_ENTRY:
    case GET_VERSION:
      return true;
    default:
      return false;
  }
}

bool IsLogCode(ULONG code) { return code >= LOG_START && code <= LOG_READ; }

}  // namespace

bool RunControlRequest(ULONG code, const ControlRequest& request, NTSTATUS* status, ULONG_PTR* information) {
  *information = 0;
  if (IsTableCode(code)) {
    *status = RunTableRequest(code, request, information);
    return true;
  }
  if (IsLogCode(code)) {
    *status = RunLogRequest(code, request, information);
    return true;
  }
  switch (code) {
    case CREATE_EVENT:
      *status = ControlCreateEvent(request, information);
      return true;
    case OPEN_EVENT:
      *status = ControlOpenEvent(request, information);
      return true;
    case CLOSE_EVENT:
      *status = ControlCloseEvent(request, information);
      return true;
    case REGFS:
      *status = ControlRegisterFs(request, information);
      return true;
    case GET_CACHE_COUNT:
      *status = ControlGetCacheCount(request, information);
      return true;
    case ADD_PROC:
      *status = ControlAddProc(request, information);
      return true;
    case DEL_PROC:
      *status = ControlDelProc(request, information);
      return true;
    case GET_PROC_COUNT:
      *status = ControlGetProcCount(request, information);
      return true;
    case GET_PROC_INFO:
      *status = ControlGetProcInfo(request, information);
      return true;
    case ADD_GLOBAL_PROC:
      *status = ControlAddGlobalProc(request, information);
      return true;
    case DEL_GLOBAL_PROC:
      *status = ControlDelGlobalProc(request, information);
      return true;
    case GET_GLOBAL_PROC_COUNT:
      *status = ControlGetGlobalProcCount(request, information);
      return true;
    case GET_GLOBAL_PROC_INFO:
      *status = ControlGetGlobalProcInfo(request, information);
      return true;
    default:
      return false;
  }
}

// Serves the control device and the filter devices alike; a filter passes codes that
// are not the driver's to the device below. Completes what it runs itself.
NTSTATUS nbfsDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  ControlRequest request{irp->AssociatedIrp.SystemBuffer, stack->Parameters.DeviceIoControl.InputBufferLength,
                         stack->Parameters.DeviceIoControl.OutputBufferLength};
  // Without a system buffer there is nothing to read or write.
  UCHAR none[sizeof(ULONG)] = {};
  if (!request.buffer) {
    request.buffer = none;
    request.inputLength = request.outputLength = 0;
  }

  NTSTATUS status;
  ULONG_PTR information;
  if (RunControlRequest(code, request, &status, &information)) {
    // Never report more than the caller's output buffer holds.
    if (information > request.outputLength) information = request.outputLength;
    return CompleteRequest(irp, status, information);
  }
  if (IsControlDevice(device)) return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  VolumeGuard guard(device, irp);
  if (!guard) return guard.Decline(irp);
  return PassOn(VolumeOf(device), irp);
}
