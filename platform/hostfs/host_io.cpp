// Descriptors below the backing folder, host file facts and the errno table.
#include "host_io.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace nb::hostfs {

namespace {

struct ErrnoStatus {
  int error;
  NTSTATUS status;
};

// Host errors as NT statuses. EXDEV and ELOOP come from a path that tried to leave the
// backing folder or to pass a symbolic link, and are refused like a denied access.
constexpr ErrnoStatus kErrnoStatuses[] = {
    {ENOENT, STATUS_OBJECT_NAME_NOT_FOUND},
    {ENOTDIR, STATUS_OBJECT_PATH_NOT_FOUND},
    {EEXIST, STATUS_OBJECT_NAME_COLLISION},
    {ENOTEMPTY, STATUS_DIRECTORY_NOT_EMPTY},
    {EISDIR, STATUS_FILE_IS_A_DIRECTORY},
    {EACCES, STATUS_ACCESS_DENIED},
    {EPERM, STATUS_ACCESS_DENIED},
    {EXDEV, STATUS_ACCESS_DENIED},
    {ELOOP, STATUS_ACCESS_DENIED},
    {EROFS, STATUS_MEDIA_WRITE_PROTECTED},
    {ENAMETOOLONG, STATUS_OBJECT_NAME_INVALID},
    {EINVAL, STATUS_INVALID_PARAMETER},
    {ENOSPC, STATUS_DISK_FULL},
    {EDQUOT, STATUS_DISK_FULL},
    {EFBIG, STATUS_DISK_FULL},
    {ENOMEM, STATUS_INSUFFICIENT_RESOURCES},
    {EMFILE, STATUS_TOO_MANY_OPENED_FILES},
    {ENFILE, STATUS_TOO_MANY_OPENED_FILES},
    {EBUSY, STATUS_SHARING_VIOLATION},
    {ETXTBSY, STATUS_SHARING_VIOLATION},
    {EBADF, STATUS_INVALID_HANDLE},
    {EIO, STATUS_IO_DEVICE_ERROR},
    {EOPNOTSUPP, STATUS_NOT_SUPPORTED},
    {EMLINK, STATUS_TOO_MANY_LINKS},
};

constexpr LONGLONG kSecondsFrom1601To1970 = 11644473600LL;
constexpr LONGLONG kNtTicksPerSecond = 10000000LL;

LONGLONG NtTime(const struct statx_timestamp& t) { return NtTimeFromHost(t.tv_sec, t.tv_nsec); }

FileFacts FactsFromStatx(const struct statx& st) {
  FileFacts facts;
  facts.directory = S_ISDIR(st.stx_mode);
  facts.lastAccessTime = NtTime(st.stx_atime);
  facts.lastWriteTime = NtTime(st.stx_mtime);
  facts.changeTime = NtTime(st.stx_ctime);
  // Without a birth time the older of the change times stands in for it.
  facts.creationTime = (st.stx_mask & STATX_BTIME) ? NtTime(st.stx_btime)
                                                    : std::min(facts.lastWriteTime, facts.changeTime);
  facts.endOfFile = facts.directory ? 0 : static_cast<LONGLONG>(st.stx_size);
  facts.allocationSize = facts.directory ? 0 : static_cast<LONGLONG>(st.stx_blocks) * 512;
  facts.links = st.stx_nlink;
  facts.fileId = st.stx_ino;
  facts.mode = st.stx_mode;
  facts.uid = st.stx_uid;
  facts.gid = st.stx_gid;
  facts.deviceMajor = st.stx_rdev_major;
  facts.deviceMinor = st.stx_rdev_minor;
  if (facts.directory) {
    facts.attributes = FILE_ATTRIBUTE_DIRECTORY;
  } else if (S_ISLNK(st.stx_mode)) {
    facts.attributes = FILE_ATTRIBUTE_REPARSE_POINT;
  } else {
    facts.attributes = FILE_ATTRIBUTE_ARCHIVE;
    if (!(st.stx_mode & 0222)) facts.attributes |= FILE_ATTRIBUTE_READONLY;
  }
  return facts;
}

constexpr unsigned kStatxMask = STATX_BASIC_STATS | STATX_BTIME;

}  // namespace

NTSTATUS StatusFromErrno(int error) {
  for (const auto& entry : kErrnoStatuses) {
    if (entry.error == error) return entry.status;
  }
  return STATUS_UNSUCCESSFUL;
}

int OpenBeneath(int rootFd, const std::string& relative, int flags) {
  const char* name = relative.empty() ? "." : relative.c_str();
  if (!(flags & O_PATH)) flags |= O_NOCTTY;
  open_how how{};
  how.flags = static_cast<unsigned long long>(flags | O_CLOEXEC);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
  long fd;
  do {
    fd = syscall(SYS_openat2, rootFd, name, &how, sizeof how);
  } while (fd < 0 && errno == EINTR);
  return fd < 0 ? -errno : static_cast<int>(fd);
}

int ReadLinkText(int fd, std::string* text) {
  // A link's text is at most PATH_MAX bytes on Linux; one byte more tells a cut one.
  std::string buffer(4097, '\0');
  ssize_t length = readlinkat(fd, "", buffer.data(), buffer.size());
  if (length < 0) return -errno;
  if (static_cast<size_t>(length) >= buffer.size()) return -ENAMETOOLONG;
  buffer.resize(static_cast<size_t>(length));
  *text = std::move(buffer);
  return 0;
}

std::string ProcPathOf(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

int Reopen(int fd, int flags) {
  int reopened;
  do {
    reopened = open(ProcPathOf(fd).c_str(), flags | O_CLOEXEC | O_NOCTTY);
  } while (reopened < 0 && errno == EINTR);
  return reopened < 0 ? -errno : reopened;
}

NTSTATUS FactsOf(int fd, FileFacts* facts) {
  struct statx st {};
  if (statx(fd, "", AT_EMPTY_PATH, kStatxMask, &st) != 0) return StatusFromErrno(errno);
  *facts = FactsFromStatx(st);
  return STATUS_SUCCESS;
}

NTSTATUS FactsAt(int directoryFd, const char* name, FileFacts* facts) {
  struct statx st {};
  if (statx(directoryFd, name, AT_SYMLINK_NOFOLLOW, kStatxMask, &st) != 0) return StatusFromErrno(errno);
  *facts = FactsFromStatx(st);
  return STATUS_SUCCESS;
}

NTSTATUS IdentityOf(int fd, HostIdentity* identity) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return StatusFromErrno(errno);
  identity->device = st.st_dev;
  identity->inode = st.st_ino;
  identity->mode = st.st_mode;
  return STATUS_SUCCESS;
}

LONGLONG NtTimeFromHost(LONGLONG seconds, ULONG nanoseconds) {
  return (seconds + kSecondsFrom1601To1970) * kNtTicksPerSecond + nanoseconds / 100;
}

void HostTimeFromNt(LONGLONG ntTime, LONGLONG* seconds, long* nanoseconds) {
  LONGLONG sinceEpoch = ntTime - kSecondsFrom1601To1970 * kNtTicksPerSecond;
  LONGLONG wholeSeconds = sinceEpoch / kNtTicksPerSecond;
  LONGLONG rest = sinceEpoch % kNtTicksPerSecond;
  if (rest < 0) {
    rest += kNtTicksPerSecond;
    --wholeSeconds;
  }
  *seconds = wholeSeconds;
  *nanoseconds = static_cast<long>(rest * 100);
}

NTSTATUS OpenListing(int directoryFd, DIR** listing) {
  int fd = openat(directoryFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return StatusFromErrno(errno);
  *listing = fdopendir(fd);
  if (!*listing) {
    close(fd);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

}  // namespace nb::hostfs
