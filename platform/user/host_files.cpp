// Files, folders and volumes of a drive, opened in the drive's host folder. Every open
// stays beneath that folder: paths arrive with "." and ".." resolved, and symbolic links
// that lead out of it (or are absolute) are refused. Host files know no share modes and
// no unbuffered I/O, so FILE_SHARE_* and FILE_FLAG_NO_BUFFERING change nothing here.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <windows.h>

#include "nb/posix/open_beneath.h"
#include "nb/win/drives.h"
#include "nb/win/errors.h"
#include "objects.h"

namespace nb::win {

using nb::posix::OpenBeneath;

namespace {

constexpr DWORD kWriteAccess = GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA;
constexpr DWORD kReadAccess = GENERIC_READ | GENERIC_ALL | FILE_READ_DATA;

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// A missing file in an existing folder is "file not found", a missing folder on the way
// "path not found", as Win32 reports them.
DWORD MissingError(int root, const std::string& relative) {
  size_t slash = relative.rfind('/');
  if (slash == std::string::npos) return ERROR_FILE_NOT_FOUND;
  Descriptor parent(OpenBeneath(root, relative.substr(0, slash), O_PATH | O_DIRECTORY | O_CLOEXEC, 0));
  return parent.get() >= 0 ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

DWORD OpenError(int error, int root, const std::string& relative) {
  if (error == ENOENT) return MissingError(root, relative);
  if (error == ENOTDIR) return ERROR_PATH_NOT_FOUND;
  return Win32ErrorFromErrno(error);
}

}  // namespace

std::shared_ptr<HostFileHandle> OpenOnDrive(WCHAR letter, const std::string& relative, bool volume,
                                            DWORD desiredAccess, DWORD creationDisposition,
                                            DWORD flagsAndAttributes, DWORD* error) {
  *error = ERROR_SUCCESS;
  std::optional<std::string> folder = DriveFolder(letter);
  if (!folder) {
    *error = volume ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    return nullptr;
  }
  Descriptor root(::open(folder->c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (root.get() < 0) {
    *error = ERROR_NOT_READY;  // the drive is known but its folder is gone
    return nullptr;
  }
  bool write = (desiredAccess & kWriteAccess) != 0;
  if (volume) {
    int fd = OpenBeneath(root.get(), "", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) {
      *error = Win32ErrorFromErrno(errno);
      return nullptr;
    }
    return std::make_shared<HostFileHandle>(fd, HostFileHandle::Kind::kVolume, write);
  }

  if (flagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) {
    *error = ERROR_NOT_SUPPORTED;
    return nullptr;
  }
  bool read = (desiredAccess & kReadAccess) != 0;
  bool backup = (flagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) != 0;
  int flags = O_CLOEXEC | O_NOCTTY;
  flags |= write ? (read ? O_RDWR : O_WRONLY) : O_RDONLY;
  int create = 0;  // O_CREAT and O_TRUNC as the disposition asks
  bool createFirst = false;  // try to create before opening an existing file
  switch (creationDisposition) {
    case CREATE_NEW:
      create = O_CREAT | O_EXCL;
      break;
    case CREATE_ALWAYS:
      create = O_TRUNC;
      createFirst = true;
      break;
    case OPEN_EXISTING:
      break;
    case OPEN_ALWAYS:
      createFirst = true;
      break;
    case TRUNCATE_EXISTING:
      if (!write) {
        *error = ERROR_INVALID_PARAMETER;
        return nullptr;
      }
      create = O_TRUNC;
      break;
    default:
      *error = ERROR_INVALID_PARAMETER;
      return nullptr;
  }
  mode_t mode = (flagsAndAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;

  int fd = -1;
  bool existed = false;
  if (createFirst) {
    fd = OpenBeneath(root.get(), relative, flags | O_CREAT | O_EXCL, mode);
    if (fd < 0 && errno == EEXIST) existed = true;
  }
  if (fd < 0 && (!createFirst || existed)) {
    fd = OpenBeneath(root.get(), relative, flags | create, mode);
    // A folder opens for reading only; write access to it is kept for flushing.
    if (fd < 0 && errno == EISDIR && backup && !(create & O_CREAT)) {
      fd = OpenBeneath(root.get(), relative, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    }
  }
  if (fd < 0) {
    *error = OpenError(errno, root.get(), relative);
    return nullptr;
  }
  Descriptor opened(fd);
  struct stat info;
  if (fstat(opened.get(), &info) != 0) {
    *error = Win32ErrorFromErrno(errno);
    return nullptr;
  }
  bool directory = S_ISDIR(info.st_mode);
  if (directory && !backup) {
    *error = ERROR_ACCESS_DENIED;  // folders open only with backup semantics
    return nullptr;
  }
  if (existed) *error = ERROR_ALREADY_EXISTS;
  return std::make_shared<HostFileHandle>(opened.release(),
                                          directory ? HostFileHandle::Kind::kDirectory : HostFileHandle::Kind::kFile,
                                          write);
}

}  // namespace nb::win
