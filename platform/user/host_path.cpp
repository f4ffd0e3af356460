// Drive paths mapped to host paths for libraries that open files by name.
#include "nb/win/host_path.h"

#include <winerror.h>

#include "nb/text.h"
#include "nb/win/drives.h"
#include "nb/win/paths.h"

namespace nb::win {

std::optional<std::string> HostPathOf(std::string_view ansiPath, DWORD* error) {
  DWORD ignored;
  if (!error) error = &ignored;
  *error = ERROR_SUCCESS;
  // A NUL ends the name, as in every C library call that takes one.
  ansiPath = ansiPath.substr(0, ansiPath.find('\0'));
  Win32Path path = ParseWin32Path(nb::text::Utf8ToUtf16(ansiPath));
  if (path.kind == PathKind::kInvalid) {
    *error = path.error;
    return std::nullopt;
  }
  if (path.kind != PathKind::kDriveFile) {
    *error = ERROR_INVALID_NAME;  // devices and volumes are no files
    return std::nullopt;
  }
  std::optional<std::string> folder = DriveFolder(path.letter);
  if (!folder) {
    *error = ERROR_PATH_NOT_FOUND;
    return std::nullopt;
  }
  if (!path.relative.empty()) {
    *folder += '/';
    *folder += nb::text::Utf16ToUtf8(path.relative);
  }
  return folder;
}

}  // namespace nb::win
