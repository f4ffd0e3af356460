// Argument checks and request records.
#include "arguments.h"

#include <cstring>

namespace nbclient {

WCHAR UpperDrive(WCHAR letter) {
  return letter >= u'a' && letter <= u'z' ? static_cast<WCHAR>(letter - u'a' + u'A') : letter;
}

bool IsValidDrive(WCHAR letter) {
  WCHAR upper = UpperDrive(letter);
  return upper >= u'A' && upper <= u'Z';
}

bool IsValidLockType(ULONG type) {
  return type == NBFS_LOCK_NOACCESS || type == NBFS_LOCK_READONLY || type == NBFS_LOCK_EXPIRED;
}

bool IsValidPermission(ULONG permission) {
  return permission == NBFS_PERMISSION_READ || permission == NBFS_PERMISSION_FULL;
}

size_t PathUnits(const WCHAR* path) {
  size_t units = 0;
  while (units < NBFS_PATH_UNITS && path[units] != 0) ++units;
  return units;
}

bool BeginsWithBackslash(const WCHAR* path) { return path && path[0] == u'\\'; }

bool IsValidOptionalPath(const WCHAR* path) {
  if (!BeginsWithBackslash(path)) return true;
  size_t units = PathUnits(path);
  return units >= 2 && units <= kMaxPathUnits;
}

namespace {

void CopyPath(WCHAR* field, const WCHAR* path) {
  if (!BeginsWithBackslash(path)) return;
  size_t units = PathUnits(path);
  if (units > kMaxPathUnits) return;
  std::memcpy(field, path, units * sizeof(WCHAR));
  field[units] = 0;
}

}  // namespace

NBFS_ENTRY MakeEntry(WCHAR letter, const WCHAR* path, ULONG type, ULONG timeout) {
  NBFS_ENTRY entry{};
  entry.timeout = timeout;
  entry.type = type;
  entry.letter = static_cast<UCHAR>(letter);
  CopyPath(entry.path, path);
  return entry;
}

NBFS_PROC MakeProc(WCHAR letter, const WCHAR* path, const char* name, ULONG pid, ULONG permission) {
  NBFS_PROC proc{};
  proc.letter = static_cast<UCHAR>(letter);
  CopyPath(proc.path, path);
  proc.permission = permission;
  proc.pid = pid;
  if (name) std::memcpy(proc.name, name, strnlen(name, NBFS_PROC_NAME_BYTES - 1));
  return proc;
}

const NBFS_DRIVE* FindDrive(const NBFS_DRIVE* drives, size_t count, WCHAR letter) {
  WCHAR wanted = UpperDrive(letter);
  for (size_t i = 0; i < count; ++i) {
    if (UpperDrive(drives[i].letter) == wanted) return &drives[i];
  }
  return nullptr;
}

ULONG HandleValue(HANDLE handle) { return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(handle)); }

}  // namespace nbclient
