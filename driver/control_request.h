// Decoded device-control requests of the control protocol, and the handlers of each
// area of the driver. A handler reads its input from the request, writes its output to
// the same buffer and says how many bytes it reports back.
#pragma once

#include <ntifs.h>

#include "nbfsctl.h"

struct ControlRequest {
  void* buffer;  // the system buffer: input on entry, output on return
  ULONG inputLength;
  ULONG outputLength;
};

// Copies an NBFS_ENTRY input; STATUS_INVALID_PARAMETER when the request is shorter than
// the record or its path has no NUL within its units.
[[nodiscard]] NTSTATUS ReadEntryInput(const ControlRequest& request, NBFS_ENTRY* entry);
// Copies an NBFS_PROC input with the same checks (and a NUL-terminated name).
[[nodiscard]] NTSTATUS ReadProcInput(const ControlRequest& request, NBFS_PROC* proc);

// Runs a request of the protocol; false when the code is not one of the driver's.
bool RunControlRequest(ULONG code, const ControlRequest& request, NTSTATUS* status, ULONG_PTR* information);

// Requests served by the other areas of the driver.
NTSTATUS ControlCreateEvent(const ControlRequest& request, ULONG_PTR* information);
NTSTATUS ControlOpenEvent(const ControlRequest& request, ULONG_PTR* information);
NTSTATUS ControlCloseEvent(const ControlRequest& request, ULONG_PTR* information);
NTSTATUS ControlRegisterFs(const ControlRequest& request, ULONG_PTR* information);
NTSTATUS ControlGetCacheCount(const ControlRequest& request, ULONG_PTR* information);
NTSTATUS ControlAddProc(const ControlRequest& request, ULONG_PTR* information);
NTSTATUS ControlDelProc(const ControlRequest& request, ULONG_PTR* information);
NTSTATUS ControlGetProcCount(const ControlRequest& request, ULONG_PTR* information);
NTSTATUS ControlGetProcInfo(const ControlRequest& request, ULONG_PTR* information);
NTSTATUS ControlAddGlobalProc(const ControlRequest& request, ULONG_PTR* information);
NTSTATUS ControlDelGlobalProc(const ControlRequest& request, ULONG_PTR* information);
NTSTATUS ControlGetGlobalProcCount(const ControlRequest& request, ULONG_PTR* information);
NTSTATUS ControlGetGlobalProcInfo(const ControlRequest& request, ULONG_PTR* information);
