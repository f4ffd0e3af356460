// The built-in module PSAPI: EnumProcesses, EnumProcessModules, GetModuleFileNameExW.
#include <psapi.h>

#include <algorithm>
#include <cstring>

#include "loaded_modules.h"
#include "nb/win/module_names.h"
#include "nb/win/process_query.h"

namespace {

constexpr ACCESS_MASK kModuleRights = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The modules of a process handle opened with the rights to read them.
bool ModulesOf(HANDLE process, std::vector<nb::win::HostModule>* modules, DWORD* error) {
  auto handle = nb::win::ProcessHandles().GetAs<nb::win::QueryableProcessHandle>(process);
  if (!handle) {
    *error = ERROR_INVALID_HANDLE;
    return false;
  }
  if ((handle->access() & kModuleRights) != kModuleRights) {
    *error = ERROR_ACCESS_DENIED;
    return false;
  }
  return handle->directory().Modules(modules, error);
}

}  // namespace

BOOL EnumProcesses(DWORD* processIds, DWORD cb, LPDWORD bytesReturned) {
  if (!processIds || !bytesReturned) return Fail(ERROR_INVALID_PARAMETER);
  std::vector<nb::win::HostProcess> processes;
  DWORD error;
  if (!nb::win::ListHostProcesses(&processes, &error)) return Fail(error);
  size_t stored = std::min<size_t>(processes.size(), cb / sizeof(DWORD));
  for (size_t i = 0; i < stored; ++i) processIds[i] = processes[i].processId;
  *bytesReturned = static_cast<DWORD>(stored * sizeof(DWORD));
  return TRUE;
}

BOOL EnumProcessModules(HANDLE process, HMODULE* modules, DWORD cb, LPDWORD needed) {
  if (!needed || (cb && !modules)) return Fail(ERROR_INVALID_PARAMETER);
  std::vector<nb::win::HostModule> found;
  DWORD error;
  if (!ModulesOf(process, &found, &error)) return Fail(error);
  size_t stored = std::min<size_t>(found.size(), cb / sizeof(HMODULE));
  for (size_t i = 0; i < stored; ++i) modules[i] = reinterpret_cast<HMODULE>(found[i].base);
  *needed = static_cast<DWORD>(found.size() * sizeof(HMODULE));
  return TRUE;
}

DWORD GetModuleFileNameExW(HANDLE process, HMODULE module, LPWSTR fileName, DWORD size) {
  if (!fileName || size == 0) {
    SetLastError(fileName ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_PARAMETER);
    return 0;
  }
  fileName[0] = 0;
  std::vector<nb::win::HostModule> found;
  DWORD error;
  if (!ModulesOf(process, &found, &error)) {
    SetLastError(error);
    return 0;
  }
  auto match = module ? std::find_if(found.begin(), found.end(),
                                     [&](const nb::win::HostModule& m) {
                                       return m.base == reinterpret_cast<uintptr_t>(module);
                                     })
                      : found.begin();
  if (match == found.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  std::u16string name = nb::win::WindowsNameOfHostFile(match->hostPath);
  size_t copied = std::min<size_t>(name.size(), size - 1);
  std::memcpy(fileName, name.data(), copied * sizeof(WCHAR));
  fileName[copied] = 0;
  if (copied < name.size()) SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return static_cast<DWORD>(copied);
}

namespace nb::win {

namespace {

const BuiltInExport kPsapiExports[] = {
    {"EnumProcesses", ExportOf(&EnumProcesses)},
    {"EnumProcessModules", ExportOf(&EnumProcessModules)},
    {"GetModuleFileNameExW", ExportOf(&GetModuleFileNameExW)},
};

}  // namespace

const BuiltInModule kPsapiModule = {u"psapi", kPsapiExports, std::size(kPsapiExports)};

}  // namespace nb::win
