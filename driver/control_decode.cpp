// Decoders of device-control inputs and writers of fixed-size outputs.
#include "control_decode.h"

namespace {

bool HasNul(const WCHAR* path) {
  for (size_t i = 0; i < NBFS_PATH_UNITS; ++i) {
    if (path[i] == 0) return true;
  }
  return false;
}

}  // namespace

NTSTATUS ReadEntryInput(const ControlRequest& request, NBFS_ENTRY* entry) {
  if (request.inputLength < sizeof(NBFS_ENTRY)) return STATUS_INVALID_PARAMETER;
  RtlCopyMemory(entry, request.buffer, sizeof *entry);
  return HasNul(entry->path) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

NTSTATUS ReadProcInput(const ControlRequest& request, NBFS_PROC* proc) {
  if (request.inputLength < sizeof(NBFS_PROC)) return STATUS_INVALID_PARAMETER;
  RtlCopyMemory(proc, request.buffer, sizeof *proc);
  proc->name[NBFS_PROC_NAME_BYTES - 1] = 0;
  return HasNul(proc->path) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

NTSTATUS ReadLetter(const ControlRequest& request, UCHAR* letter) {
  if (request.inputLength < 1) return STATUS_INVALID_PARAMETER;
  *letter = *static_cast<const UCHAR*>(request.buffer);
  return STATUS_SUCCESS;
}

NTSTATUS ReadEventName(const ControlRequest& request, UNICODE_STRING* name) {
  const auto* units = static_cast<const WCHAR*>(request.buffer);
  ULONG available = request.inputLength / sizeof(WCHAR);
  ULONG length = 0;
  while (length < available && units[length] != 0) ++length;
  if (length == available || length * sizeof(WCHAR) > 0xFFFC) return STATUS_INVALID_PARAMETER;
  RtlInitUnicodeString(name, units);
  return STATUS_SUCCESS;
}

NTSTATUS WriteUlong(const ControlRequest& request, ULONG value, ULONG_PTR* information) {
  if (!OutputFits(request, sizeof(ULONG))) return STATUS_BUFFER_TOO_SMALL;
  *static_cast<ULONG*>(request.buffer) = value;
  *information = sizeof(ULONG);
  return STATUS_SUCCESS;
}
