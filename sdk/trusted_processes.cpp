// CVAULTObj trusted processes: per lock (ProcRegister, ProcRemove, ProcGetCount,
// ProcGetInformation) and on every lock (the ProcGlobal calls).
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include <windows.h>

#include "VAULTSdk.h"
#include "lock_records.h"
#include "nb/text.h"
#include "nbclient.h"

namespace {

// The path a trusted-process entry sends: the folder's for a folder entry, none (null)
// drive-wide. False when the folder path does not end inside its field.
bool EntryPath(const _LCK_PROC_INFORMATION& process, std::optional<std::u16string>* path) {
  path->reset();
  if (process.scope != PROC_SCOPE_FOLDER) return true;
  std::optional<std::u16string_view> text = vault::FieldText(process.procPath);
  if (!text) return false;
  *path = std::u16string(*text);
  return true;
}

const WCHAR* OrNull(const std::optional<std::u16string>& path) { return path ? path->c_str() : nullptr; }

// A caller's path in the driver's 260-unit buffer; false for a longer one.
bool CallerPath(LPCWSTR path, std::optional<std::u16string>* out) {
  out->reset();
  if (!path) return true;
  size_t length = nb::text::Utf16Length(path, VAULT_DRIVER_PATH_UNITS);
  if (length >= VAULT_DRIVER_PATH_UNITS) return false;
  *out = std::u16string(path, length);
  return true;
}

// Room for `count` driver records; false when it cannot be had.
bool Allocate(int count, std::vector<NBFS_PROC>* records) {
  if (count < 0 || static_cast<size_t>(count) > std::numeric_limits<ULONG>::max() / sizeof(NBFS_PROC)) return false;
  try {
    records->assign(static_cast<size_t>(count), NBFS_PROC{});
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

}  // namespace

int CVAULTObj::ProcRegister(_LCK_PROC_INFORMATION* process, int show) {
  if (!process) return 0;
  std::optional<std::u16string> path;
  int code = EntryPath(*process, &path)
                 ? NB_RegisterProcess(process->procDrive, OrNull(path), vault::AnsiProcessName(process->procName).c_str(),
                                      process->pid, static_cast<ULONG>(process->permission))
                 : NB_ERROR_INVALID;
  if (code == NB_SUCCESS) return 1;
  VAULTMsg(show, code, process->procDrive, OrNull(path));
  return 0;
}

int CVAULTObj::ProcRemove(_LCK_PROC_INFORMATION* process, int show) {
  if (!process) return 0;
  std::optional<std::u16string> path;
  int code = EntryPath(*process, &path)
                 ? NB_RemoveProcess(process->procDrive, OrNull(path), vault::AnsiProcessName(process->procName).c_str(),
                                    process->pid)
                 : NB_ERROR_INVALID;
  if (code == NB_SUCCESS) return 1;
  VAULTMsg(show, code, process->procDrive, OrNull(path));
  return 0;
}

int CVAULTObj::ProcGetCount(WCHAR drive, LPCWSTR path, int* count, int show) {
  if (!count) return 0;
  std::optional<std::u16string> buffer;
  ULONG n = 0;
  int code = CallerPath(path, &buffer) ? NB_GetProcCount(drive, OrNull(buffer), &n) : NB_ERROR_INVALID;
  if (code != NB_SUCCESS) {
    VAULTMsg(show, code, drive, OrNull(buffer));
    return 0;
  }
  *count = n > static_cast<ULONG>(std::numeric_limits<int>::max()) ? std::numeric_limits<int>::max()
                                                                    : static_cast<int>(n);
  return 1;
}

int CVAULTObj::ProcGetInformation(WCHAR drive, LPCWSTR path, _LCK_PROC_INFORMATION* out, int count, int show) {
  if (!out || count < 0) return 0;
  std::optional<std::u16string> buffer;
  if (!CallerPath(path, &buffer)) {
    VAULTMsg(show, NB_ERROR_INVALID, drive, u"");
    return 0;
  }
  if (count == 0) return 1;
  std::vector<NBFS_PROC> records;
  if (!Allocate(count, &records)) {
    MemoryMsg(show);
    return 0;
  }
  int code = NB_GetProcInfo(drive, OrNull(buffer), records.data(), static_cast<ULONG>(records.size() * sizeof(NBFS_PROC)));
  if (code != NB_SUCCESS) {
    VAULTMsg(show, code, drive, OrNull(buffer));
    return 0;
  }
  for (size_t i = 0; i < records.size(); ++i) {
    _LCK_PROC_INFORMATION& entry = out[i];
    std::memset(&entry, 0, sizeof entry);
    entry.procDrive = records[i].letter;
    entry.permission = static_cast<INT>(records[i].permission);
    entry.pid = records[i].pid;
    vault::WidenProcessName(records[i].name, entry.procName);
    if (buffer) std::copy(buffer->begin(), buffer->end(), entry.procPath);
    entry.scope = path ? PROC_SCOPE_FOLDER : PROC_SCOPE_DRIVE;
  }
  return 1;
}

bool CVAULTObj::ProcGlobalRegister(_LCK_PROC_INFORMATION* process, bool /*show*/) {
  return process && NB_RegisterGlobalProcess(vault::AnsiProcessName(process->procName).c_str(), process->pid,
                                             static_cast<ULONG>(process->permission)) == NB_SUCCESS;
}

bool CVAULTObj::ProcGlobalRemove(_LCK_PROC_INFORMATION* process, bool /*show*/) {
  return process && NB_RemoveGlobalProcess(vault::AnsiProcessName(process->procName).c_str(), process->pid) == NB_SUCCESS;
}

int CVAULTObj::ProcGlobalCount(bool /*show*/) {
  ULONG count = 0;
  if (NB_GetGlobalProcCount(&count) != NB_SUCCESS) return 0;
  return count > static_cast<ULONG>(std::numeric_limits<int>::max()) ? std::numeric_limits<int>::max()
                                                                     : static_cast<int>(count);
}

bool CVAULTObj::ProcGlobalGetInformation(_LCK_PROC_INFORMATION* out, int count, bool show) {
  if (!out || count < 0) return false;
  if (count == 0) return true;
  std::vector<NBFS_PROC> records;
  if (!Allocate(count, &records)) {
    MemoryMsg(show);
    return false;
  }
  if (NB_GetGlobalProcInfo(records.data(), static_cast<ULONG>(records.size() * sizeof(NBFS_PROC))) != NB_SUCCESS) {
    return false;
  }
  for (size_t i = 0; i < records.size(); ++i) {
    out[i].permission = static_cast<INT>(records[i].permission);
    out[i].pid = records[i].pid;
    vault::WidenProcessName(records[i].name, out[i].procName);
  }
  return true;
}
