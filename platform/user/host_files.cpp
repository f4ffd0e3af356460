// Whole volumes ("\\.\X:") opened in their drive's host folder, for flushing.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <windows.h>

#include "nb/posix/open_beneath.h"
#include "nb/win/drives.h"
#include "nb/win/errors.h"
#include "objects.h"

namespace nb::win {

namespace {

constexpr DWORD kWriteAccess = GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA;

}  // namespace

std::shared_ptr<HostVolumeHandle> OpenVolumeOfDrive(WCHAR letter, DWORD desiredAccess, DWORD* error) {
  *error = ERROR_SUCCESS;
  std::optional<std::string> folder = DriveFolder(letter);
  if (!folder) {
    *error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  int root = ::open(folder->c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (root < 0) {
    *error = ERROR_NOT_READY;  // the drive is known but its folder is gone
    return nullptr;
  }
  int fd = nb::posix::OpenBeneath(root, "", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  int openError = errno;
  ::close(root);
  if (fd < 0) {
    *error = Win32ErrorFromErrno(openError);
    return nullptr;
  }
  return std::make_shared<HostVolumeHandle>(fd, (desiredAccess & kWriteAccess) != 0);
}

}  // namespace nb::win
