// The default lock folder's name, the driver file's and the answers about the folder.
#include "default_folder.h"

#include <algorithm>

#include "NBUtil.h"
#include "nb/text.h"

namespace nbutil {

namespace {

constexpr const char16_t* kFolderBelowWindows = u"Application Data\\NB";

}  // namespace

std::u16string DefaultFolderOf(std::u16string_view windowsFolder) {
  return nb::text::FormatWide(u"%s\\%s", std::u16string(windowsFolder).c_str(), kFolderBelowWindows);
}

std::optional<std::u16string> DefaultFolder() {
  WCHAR windows[kWindowsFolderUnits];
  UINT length = GetWindowsDirectoryW(windows, kWindowsFolderUnits);
  if (length == 0) return std::nullopt;
  // A longer folder does not fit: taking part of it would name some other folder.
  if (length >= kWindowsFolderUnits) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return std::nullopt;
  }
  return DefaultFolderOf(std::u16string_view(windows, length));
}

std::u16string DriverFileOf(std::u16string_view folder, int major, int minor) {
  return nb::text::FormatWide(u"%s\\%s%d%d.sys", std::u16string(folder).c_str(), u"nbfs", major, minor);
}

int DefaultFolderAnswer(DWORD error) {
  switch (error) {
    case ERROR_SUCCESS:
      return DEFAULT_FOLDER_OPEN;
    case ERROR_ACCESS_DENIED:
      return DEFAULT_FOLDER_DENIED;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return DEFAULT_FOLDER_MISSING;
    default:
      return DEFAULT_FOLDER_ERROR;
  }
}

DrivePath SplitDrivePath(std::u16string_view full) {
  DrivePath split{full.empty() ? WCHAR{0} : full[0], {}};
  if (full.size() > 2) split.path = full.substr(2);
  return split;
}

}  // namespace nbutil

