// Decoding the inputs of device-control requests and writing their fixed-size outputs.
// Every read checks the request's length before it touches a byte of the buffer.
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
// The one-byte drive letter of GET_ENTRY_INFO_IN_DRIVE and GET_ENTRY_COUNT_IN_DRIVE.
[[nodiscard]] NTSTATUS ReadLetter(const ControlRequest& request, UCHAR* letter);
// The NUL-terminated UTF-16 name of CREATE_EVENT as a counted string over the buffer;
// STATUS_INVALID_PARAMETER when the NUL is not within the request or the name is too
// long for a counted string.
[[nodiscard]] NTSTATUS ReadEventName(const ControlRequest& request, UNICODE_STRING* name);

// Whether the caller's output buffer holds `bytes`.
inline bool OutputFits(const ControlRequest& request, ULONG bytes) { return request.outputLength >= bytes; }
// Writes one ULONG output and reports 4 bytes; STATUS_BUFFER_TOO_SMALL when it does not fit.
[[nodiscard]] NTSTATUS WriteUlong(const ControlRequest& request, ULONG value, ULONG_PTR* information);
