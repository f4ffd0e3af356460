// The handlers of the control protocol's requests in each area of the driver. A handler
// decodes its input from the request (control_decode.h), writes its output to the same
// buffer and says how many bytes it reports back.
#pragma once

#include <ntifs.h>

#include "control_decode.h"

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
