// GetModuleFileNameW: the program's file or a loaded module's, named through the reverse
// path map.
#include <unistd.h>

#include <cstring>
#include <string>

#include <windows.h>

#include "loaded_modules.h"
#include "nb/win/drives.h"

namespace {

// Copies a module name as GetModuleFileNameW does: cut to the buffer with
// ERROR_INSUFFICIENT_BUFFER when it does not fit.
DWORD CopyName(const std::u16string& name, LPWSTR filename, DWORD size) {
  if (!filename || size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (name.size() + 1 > size) {
    std::memcpy(filename, name.data(), (size - 1) * sizeof(WCHAR));
    filename[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(filename, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(name.size());
}

}  // namespace

DWORD GetModuleFileNameW(HMODULE module, LPWSTR filename, DWORD size) {
  std::string file;
  if (module) {
    DWORD error;  // a handle no module has is ERROR_MOD_NOT_FOUND, as Windows says
    std::shared_ptr<const nb::win::LoadedModule> loaded = nb::win::ModuleOfHandle(module, &error);
    if (!loaded) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return 0;
    }
    if (loaded->kind() == nb::win::LoadedModule::Kind::kBuiltIn) {
      // Built-in system modules are named as they would sit in the system folder.
      WCHAR system[MAX_PATH];
      UINT length = GetSystemDirectoryW(system, MAX_PATH);
      if (length == 0 || length >= MAX_PATH) return 0;
      std::u16string name(system, length);
      name += u'\\';
      name += loaded->builtIn()->name;
      name += u".dll";
      return CopyName(name, filename, size);
    }
    file = loaded->hostPath();
  }
  if (file.empty()) {
    // The program itself (a null module, or the program's own handle).
    file.assign(4096, '\0');
    ssize_t length = readlink("/proc/self/exe", file.data(), file.size());
    if (length <= 0 || static_cast<size_t>(length) >= file.size()) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return 0;
    }
    file.resize(static_cast<size_t>(length));
  }
  return CopyName(nb::win::DrivePathOf(file), filename, size);
}
