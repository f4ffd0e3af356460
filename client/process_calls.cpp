// Trusted processes: per drive or folder, and global.
#include <cstdint>

#include "arguments.h"
#include "control_device.h"
#include "nbclient.h"
#include "print.h"

using namespace nbclient;

namespace {

// The byte length of `count` NBFS_PROC records, saturated so a huge count cannot wrap.
ULONG ProcBytes(ULONG count) {
  uint64_t bytes = uint64_t{count} * sizeof(NBFS_PROC);
  return bytes > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<ULONG>(bytes);
}

}  // namespace

int NB_RegisterProcess(WCHAR letter, const WCHAR* path, const char* name, ULONG pid, ULONG permission) {
  if (!IsValidDrive(letter)) {
    Print(u"NB_RegisterProcess: invalid Drive(%c)\n", letter);
    return NB_ERROR_INVALID;
  }
  if (!name) {
    Print(u"NB_RegisterProcess: invalid parameter\n");
    return NB_ERROR_INVALID;
  }
  if (!IsValidPermission(permission)) {
    Print(u"NB_RegisterProcess: invalid Permission(%d)\n", static_cast<int>(permission));
    return NB_ERROR_INVALID;
  }
  if (!IsValidOptionalPath(path)) {
    Print(u"NB_RegisterProcess: invalid Path(%s)\n", path);
    return NB_ERROR_INVALID;
  }
  NBFS_PROC proc = MakeProc(letter, path, name, pid, permission);
  return NbfsRequest({u"NB_RegisterProcess", kCannotOpneRootDevice}, ADD_PROC, &proc, sizeof proc);
}

int NB_RemoveProcess(WCHAR letter, const WCHAR* path, const char* name, ULONG pid) {
  if (!IsValidDrive(letter)) {
    Print(u"NB_RemoveProcess: invalid Drive(%c)\n", letter);
    return NB_ERROR_INVALID;
  }
  if (!name) {
    Print(u"NB_RemoveProcess: invalid parameter\n");
    return NB_ERROR_INVALID;
  }
  if (!IsValidOptionalPath(path)) {
    Print(u"NB_RemoveProcess: invalid Path(%s)\n", path);
    return NB_ERROR_INVALID;
  }
  NBFS_PROC proc = MakeProc(letter, path, name, pid, 0);
  return NbfsRequest({u"NB_RemoveProcess", kCannotOpneRootDevice}, DEL_PROC, &proc, sizeof proc);
}

int NB_GetProcCount(WCHAR letter, const WCHAR* path, ULONG* count) {
  if (!IsValidDrive(letter)) {
    Print(u"NB_GetProcCount: invalid Drive(%c)\n", letter);
    return NB_ERROR_INVALID;
  }
  if (!count) {
    Print(u"NB_GetProcCount: invalid buffer\n");
    return NB_ERROR_INVALID;
  }
  if (!IsValidOptionalPath(path)) {
    Print(u"NB_GetProcCount: invalid Path(%s)\n", path);
    return NB_ERROR_INVALID;
  }
  NBFS_ENTRY entry = MakeEntry(letter, path);
  return NbfsRequest({u"NB_GetProcCount", kCannotOpneRootDevice}, GET_PROC_COUNT, &entry, sizeof entry, count,
                     sizeof(ULONG));
}

int NB_GetProcInfo(WCHAR letter, const WCHAR* path, void* buffer, ULONG size) {
  if (!IsValidDrive(letter)) {
    Print(u"NB_GetProcInfo: invalid Drive(%c)\n", letter);
    return NB_ERROR_INVALID;
  }
  if (!buffer) {
    Print(u"NB_GetProcInfo: invalid Buffer\n");
    return NB_ERROR_INVALID;
  }
  if (!IsValidOptionalPath(path)) {
    Print(u"NB_GetProcInfo: invalid Path(%s)\n", path);
    return NB_ERROR_INVALID;
  }
  ULONG count = 0;
  if (int counted = NB_GetProcCount(letter, path, &count)) {
    Print(u"NB_GetProcInfo: cannot get process count\n");
    return counted;
  }
  if (count == 0) return NB_SUCCESS;
  ULONG needed = ProcBytes(count);
  if (size < needed) {
    Print(u"NB_GetProcInfo: buffer too small(needlen=%d)\n", static_cast<int>(needed));
    return NB_ERROR_INVALID;
  }
  NBFS_ENTRY entry = MakeEntry(letter, path);
  return NbfsRequest({u"NB_GetProcInfo", kCannotOpneRootDevice}, GET_PROC_INFO, &entry, sizeof entry, buffer,
                     needed);
}

int NB_RegisterGlobalProcess(const char* name, ULONG pid, ULONG permission) {
  if (!name) {
    Print(u"NB_RegisterGlobalProcess: invalid parameter\n");
    return NB_ERROR_INVALID;
  }
  if (!IsValidPermission(permission)) {
    Print(u"NB_RegisterGlobalProcess: invalid Permission(%d)\n", static_cast<int>(permission));
    return NB_ERROR_INVALID;
  }
  NBFS_PROC proc = MakeProc(0, nullptr, name, pid, permission);
  return NbfsRequest({u"NB_RegisterGlobalProcess", kCannotOpneRootDevice}, ADD_GLOBAL_PROC, &proc, sizeof proc);
}

int NB_RemoveGlobalProcess(const char* name, ULONG pid) {
  if (!name) {
    Print(u"NB_RemoveGlobalProcess: invalid parameter\n");
    return NB_ERROR_INVALID;
  }
  NBFS_PROC proc = MakeProc(0, nullptr, name, pid, 0);
  return NbfsRequest({u"NB_RemoveGlobalProcess", kCannotOpneRootDevice}, DEL_GLOBAL_PROC, &proc, sizeof proc);
}

int NB_GetGlobalProcCount(ULONG* count) {
  if (!count) {
    Print(u"NB_GetGlobalProcCount: invalid buffer\n");
    return NB_ERROR_INVALID;
  }
  return NbfsRequest({u"NB_GetGlobalProcCount", kCannotOpneRootDevice}, GET_GLOBAL_PROC_COUNT, count,
                     sizeof(ULONG), count, sizeof(ULONG));
}

// Reports under NB_GetProcInfo's name, as the per-drive call does.
int NB_GetGlobalProcInfo(void* buffer, ULONG size) {
  if (!buffer) {
    Print(u"NB_GetProcInfo: invalid Buffer\n");
    return NB_ERROR_INVALID;
  }
  ULONG count = 0;
  if (int counted = NB_GetGlobalProcCount(&count)) {
    Print(u"NB_GetProcInfo: cannot get process count\n");
    return counted;
  }
  if (count == 0) return NB_SUCCESS;
  ULONG needed = ProcBytes(count);
  if (size < needed) {
    Print(u"NB_GetProcInfo: buffer too small(needlen=%d)\n", static_cast<int>(needed));
    return NB_ERROR_INVALID;
  }
  return NbfsRequest({u"NB_GetProcInfo", kCannotOpneRootDevice}, GET_GLOBAL_PROC_INFO, buffer, needed, buffer,
                     needed);
}
