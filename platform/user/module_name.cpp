// GetModuleFileNameW: the program's own file, named through the reverse path map.
#include <unistd.h>

#include <cstring>
#include <string>

#include <windows.h>

#include "nb/win/drives.h"

DWORD GetModuleFileNameW(HMODULE module, LPWSTR filename, DWORD size) {
  if (module) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  std::string executable(4096, '\0');
  ssize_t length = readlink("/proc/self/exe", executable.data(), executable.size());
  if (length <= 0 || static_cast<size_t>(length) >= executable.size()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  executable.resize(static_cast<size_t>(length));
  std::u16string name = nb::win::DrivePathOf(executable);
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
