// The tool help calls of the built-in module Kernel32: process and module snapshots.
#include <tlhelp32.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "loaded_modules.h"
#include "nb/posix/process_image.h"
#include "nb/text.h"
#include "nb/win/module_names.h"
#include "nb/win/process_query.h"

namespace {

constexpr LONG kNormalPriority = 8;

// A snapshot taken once; First and Next walk it with one cursor per kind.
class Snapshot final : public nb::win::HandleObject {
 public:
  std::vector<nb::win::HostProcess> processes;
  std::vector<nb::win::HostModule> modules;
  DWORD moduleProcessId = 0;
  std::mutex mutex;
  size_t nextProcess = 0;
  size_t nextModule = 0;
};

HANDLE FailSnapshot(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// Copies text into a fixed field, cut to fit and terminated.
void CopyWide(WCHAR* field, size_t units, std::u16string_view text) {
  size_t copied = std::min(text.size(), units - 1);
  std::memcpy(field, text.data(), copied * sizeof(WCHAR));
  field[copied] = 0;
}

// The ANSI form: whole UTF-8 sequences only, so a cut never splits a character.
void CopyAnsi(CHAR* field, size_t bytes, std::u16string_view text) {
  std::string ansi = nb::text::Utf16ToUtf8(text);
  size_t copied = std::min(ansi.size(), bytes - 1);
  while (copied > 0 && copied < ansi.size() && (static_cast<unsigned char>(ansi[copied]) & 0xC0) == 0x80) --copied;
  std::memcpy(field, ansi.data(), copied);
  field[copied] = 0;
}

// The next process of a snapshot into the fields common to both forms.
template <typename Entry>
bool NextProcess(HANDLE handle, Entry* entry, bool first, nb::win::HostProcess* process) {
  auto snapshot = nb::win::ProcessHandles().GetAs<Snapshot>(handle);
  if (!snapshot) return Fail(ERROR_INVALID_HANDLE);
  if (!entry || entry->dwSize < sizeof(Entry)) return Fail(ERROR_BAD_LENGTH);
  std::lock_guard lock(snapshot->mutex);
  if (first) snapshot->nextProcess = 0;
  if (snapshot->nextProcess >= snapshot->processes.size()) return Fail(ERROR_NO_MORE_FILES);
  *process = snapshot->processes[snapshot->nextProcess++];
  DWORD size = entry->dwSize;
  std::memset(entry, 0, sizeof(Entry));
  entry->dwSize = size;
  entry->th32ProcessID = process->processId;
  entry->cntThreads = process->threads;
  entry->th32ParentProcessID = process->parentProcessId;
  entry->pcPriClassBase = kNormalPriority;
  return true;
}

template <typename Entry>
bool NextModule(HANDLE handle, Entry* entry, bool first, nb::win::HostModule* module, bool* executable) {
  auto snapshot = nb::win::ProcessHandles().GetAs<Snapshot>(handle);
  if (!snapshot) return Fail(ERROR_INVALID_HANDLE);
  if (!entry || entry->dwSize < sizeof(Entry)) return Fail(ERROR_BAD_LENGTH);
  std::lock_guard lock(snapshot->mutex);
  if (first) snapshot->nextModule = 0;
  if (snapshot->nextModule >= snapshot->modules.size()) return Fail(ERROR_NO_MORE_FILES);
  *executable = snapshot->nextModule == 0;
  *module = snapshot->modules[snapshot->nextModule++];
  DWORD size = entry->dwSize;
  std::memset(entry, 0, sizeof(Entry));
  entry->dwSize = size;
  entry->th32ModuleID = 1;
  entry->th32ProcessID = snapshot->moduleProcessId;
  entry->GlblcntUsage = 0xFFFF;
  entry->ProccntUsage = 0xFFFF;
  entry->modBaseAddr = reinterpret_cast<BYTE*>(module->base);
  entry->modBaseSize = static_cast<DWORD>(std::min<uintptr_t>(module->size, 0xFFFFFFFFu));
  entry->hModule = reinterpret_cast<HMODULE>(module->base);
  return true;
}

// A module's short name: the executable goes by its image name, as in process entries.
std::u16string ModuleName(const nb::win::HostModule& module, bool executable) {
  std::string_view path = module.hostPath;
  std::string_view leaf = path.substr(path.rfind('/') + 1);
  if (executable) return nb::text::Utf8ToUtf16(nb::posix::ImageNameOfExecutable(path));
  return nb::text::Utf8ToUtf16(leaf);
}

}  // namespace

HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD processId) {
  constexpr DWORD kServed = TH32CS_SNAPPROCESS | TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32 | TH32CS_INHERIT;
  if (flags & ~kServed || !(flags & (TH32CS_SNAPPROCESS | TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32))) {
    return FailSnapshot(ERROR_INVALID_PARAMETER);
  }
  auto snapshot = std::make_shared<Snapshot>();
  DWORD error;
  if ((flags & TH32CS_SNAPPROCESS) && !nb::win::ListHostProcesses(&snapshot->processes, &error)) {
    return FailSnapshot(error);
  }
  if (flags & (TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32)) {
    snapshot->moduleProcessId = processId ? processId : static_cast<DWORD>(getpid());
    auto process = nb::win::OpenProcessForQuery(snapshot->moduleProcessId,
                                                PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, &error);
    if (!process || !process->directory().Modules(&snapshot->modules, &error)) return FailSnapshot(error);
  }
  HANDLE handle = nb::win::ProcessHandles().Insert(std::move(snapshot));
  return handle ? handle : FailSnapshot(ERROR_TOO_MANY_OPEN_FILES);
}

BOOL Process32FirstW(HANDLE snapshot, LPPROCESSENTRY32W entry) {
  nb::win::HostProcess process;
  if (!NextProcess(snapshot, entry, true, &process)) return FALSE;
  CopyWide(entry->szExeFile, MAX_PATH, process.imageName);
  return TRUE;
}

BOOL Process32NextW(HANDLE snapshot, LPPROCESSENTRY32W entry) {
  nb::win::HostProcess process;
  if (!NextProcess(snapshot, entry, false, &process)) return FALSE;
  CopyWide(entry->szExeFile, MAX_PATH, process.imageName);
  return TRUE;
}

BOOL Process32First(HANDLE snapshot, LPPROCESSENTRY32 entry) {
  nb::win::HostProcess process;
  if (!NextProcess(snapshot, entry, true, &process)) return FALSE;
  CopyAnsi(entry->szExeFile, MAX_PATH, process.imageName);
  return TRUE;
}

BOOL Process32Next(HANDLE snapshot, LPPROCESSENTRY32 entry) {
  nb::win::HostProcess process;
  if (!NextProcess(snapshot, entry, false, &process)) return FALSE;
  CopyAnsi(entry->szExeFile, MAX_PATH, process.imageName);
  return TRUE;
}

namespace {

template <typename Entry, typename Copy>
BOOL ModuleEntry(HANDLE snapshot, Entry* entry, bool first, Copy copy) {
  nb::win::HostModule module;
  bool executable;
  if (!NextModule(snapshot, entry, first, &module, &executable)) return FALSE;
  copy(entry->szModule, MAX_MODULE_NAME32 + 1, ModuleName(module, executable));
  copy(entry->szExePath, MAX_PATH, nb::win::WindowsNameOfHostFile(module.hostPath));
  return TRUE;
}

}  // namespace

BOOL Module32FirstW(HANDLE snapshot, LPMODULEENTRY32W entry) { return ModuleEntry(snapshot, entry, true, CopyWide); }
BOOL Module32NextW(HANDLE snapshot, LPMODULEENTRY32W entry) { return ModuleEntry(snapshot, entry, false, CopyWide); }
BOOL Module32First(HANDLE snapshot, LPMODULEENTRY32 entry) { return ModuleEntry(snapshot, entry, true, CopyAnsi); }
BOOL Module32Next(HANDLE snapshot, LPMODULEENTRY32 entry) { return ModuleEntry(snapshot, entry, false, CopyAnsi); }

namespace nb::win {

namespace {

const BuiltInExport kKernel32Exports[] = {
    {"CreateToolhelp32Snapshot", ExportOf(&CreateToolhelp32Snapshot)},
    {"Process32First", ExportOf(&Process32First)},
    {"Process32Next", ExportOf(&Process32Next)},
    {"Process32FirstW", ExportOf(&Process32FirstW)},
    {"Process32NextW", ExportOf(&Process32NextW)},
    {"Module32First", ExportOf(&Module32First)},
    {"Module32Next", ExportOf(&Module32Next)},
    {"Module32FirstW", ExportOf(&Module32FirstW)},
    {"Module32NextW", ExportOf(&Module32NextW)},
};

}  // namespace

const BuiltInModule kKernel32Module = {u"kernel32", kKernel32Exports, std::size(kKernel32Exports)};

}  // namespace nb::win
