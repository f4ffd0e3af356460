// Device-control requests on trusted processes: decode the record, run the list
// operation, write the count or the records back.
#include "control_request.h"
#include "driver.h"
#include "trusted.h"

NTSTATUS ControlAddProc(const ControlRequest& request, ULONG_PTR*) {
  NBFS_PROC proc;
  NTSTATUS status = ReadProcInput(request, &proc);
  return NT_SUCCESS(status) ? nbfsAddProc(Volumes(), proc) : status;
}

NTSTATUS ControlDelProc(const ControlRequest& request, ULONG_PTR*) {
  NBFS_PROC proc;
  NTSTATUS status = ReadProcInput(request, &proc);
  return NT_SUCCESS(status) ? nbfsDelProc(Volumes(), proc) : status;
}

// The count is written (0 on failure) and reported as 4 bytes either way.
NTSTATUS ControlGetProcCount(const ControlRequest& request, ULONG_PTR* information) {
  NBFS_ENTRY entry;
  NTSTATUS status = ReadEntryInput(request, &entry);
  if (!NT_SUCCESS(status)) return status;
  if (request.outputLength < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
  ULONG count;
  status = GetProcCount(Volumes(), entry.letter, entry.path, &count);
  (void)WriteUlong(request, count, information);
  return status;
}

NTSTATUS ControlGetProcInfo(const ControlRequest& request, ULONG_PTR* information) {
  NBFS_ENTRY entry;
  NTSTATUS status = ReadEntryInput(request, &entry);
  if (!NT_SUCCESS(status)) return status;
  *information = request.outputLength;
  return nbfsGetProcInfo(Volumes(), entry.letter, entry.path, request.buffer, request.outputLength);
}

NTSTATUS ControlAddGlobalProc(const ControlRequest& request, ULONG_PTR*) {
  NBFS_PROC proc;
  NTSTATUS status = ReadProcInput(request, &proc);
  return NT_SUCCESS(status) ? AddGlobalProc(proc.pid, proc.name) : status;
}

NTSTATUS ControlDelGlobalProc(const ControlRequest& request, ULONG_PTR*) {
  NBFS_PROC proc;
  NTSTATUS status = ReadProcInput(request, &proc);
  return NT_SUCCESS(status) ? DelGlobalProc(proc.pid, proc.name) : status;
}

NTSTATUS ControlGetGlobalProcCount(const ControlRequest& request, ULONG_PTR* information) {
  return WriteUlong(request, GetGlobalProcCount(), information);
}

NTSTATUS ControlGetGlobalProcInfo(const ControlRequest& request, ULONG_PTR* information) {
  *information = request.outputLength;
  return nbfsGetGProcInfo(request.buffer, request.outputLength);
}
