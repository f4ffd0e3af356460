// FSCTL_SET_REPARSE_POINT and FSCTL_GET_REPARSE_POINT: POSIX symbolic links kept as
// reparse points of the tag IO_REPARSE_TAG_LX_SYMLINK.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host_io.h"
#include "hostfs_internal.h"
#include "names.h"
#include "nb/kernel/reparse_records.h"

namespace nb::hostfs {

namespace {

// Turns the empty file behind `file` into a symbolic link with `text`, in place of its
// name; filesMutex held. The link is made beside the name and renamed over it, so the
// name never goes missing. The open file then stands for the link.
NTSTATUS MakeLinkLocked(HostFile* file, const std::string& text) {
  for (HostFile* open : file->volume->files) {
    if (open != file && open->device == file->device && open->inode == file->inode && !open->cleanedUp)
      return STATUS_SHARING_VIOLATION;
  }
  NameAt name;
  NTSTATUS status = OpenOwnName(file, &name);
  if (!NT_SUCCESS(status)) return status;
  const std::string temporary = TemporaryName(name.leaf);
  if (symlinkat(text.c_str(), name.parentFd, temporary.c_str()) != 0) return StatusFromErrno(errno);
  if (renameat(name.parentFd, temporary.c_str(), name.parentFd, name.leaf.c_str()) != 0) {
    const int error = errno;
    (void)unlinkat(name.parentFd, temporary.c_str(), 0);
    return StatusFromErrno(error);
  }
  int linkFd = openat(name.parentFd, name.leaf.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (linkFd < 0) return StatusFromErrno(errno);
  HostIdentity identity;
  status = IdentityOf(linkFd, &identity);
  if (!NT_SUCCESS(status)) {
    close(linkFd);
    return status;
  }
  close(file->fd);
  file->fd = linkFd;
  file->device = identity.device;
  file->inode = identity.inode;
  // No data is read or written through a link.
  file->canRead = false;
  file->canWrite = false;
  return STATUS_SUCCESS;
}

// Only an empty regular file opened for writing becomes a link: nothing is lost, and a
// caller that could not write the file cannot replace it either.
NTSTATUS SetReparsePoint(HostFile* file, const void* record, ULONG length) {
  if (file->directory) return STATUS_FILE_IS_A_DIRECTORY;
  if (!file->canWrite) return STATUS_ACCESS_DENIED;
  std::string text;
  NTSTATUS status = nb::kernel::DecodeLinkRecord(record, length, &text);
  if (!NT_SUCCESS(status)) return status;
  std::lock_guard serial(file->mutex);
  struct stat st {};
  if (fstat(file->fd, &st) != 0) return StatusFromErrno(errno);
  if (!S_ISREG(st.st_mode) || st.st_size != 0) return STATUS_IO_REPARSE_DATA_INVALID;
  std::lock_guard lock(file->volume->filesMutex);
  return MakeLinkLocked(file, text);
}

NTSTATUS GetReparsePoint(HostFile* file, void* buffer, ULONG length, ULONG_PTR* information) {
  HostIdentity identity;
  NTSTATUS status = IdentityOf(file->fd, &identity);
  if (!NT_SUCCESS(status)) return status;
  if (!S_ISLNK(identity.mode)) return STATUS_NOT_A_REPARSE_POINT;
  std::string text;
  if (int error = ReadLinkText(file->fd, &text); error < 0) return StatusFromErrno(-error);
  if (text.size() > nb::kernel::kMaximumLinkText) return STATUS_NAME_TOO_LONG;
  const std::vector<UCHAR> record = nb::kernel::EncodeLinkRecord(text);
  if (!buffer || length < record.size()) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(buffer, record.data(), record.size());
  *information = record.size();
  return STATUS_SUCCESS;
}

}  // namespace

bool IsReparseRequest(ULONG code) { return code == FSCTL_SET_REPARSE_POINT || code == FSCTL_GET_REPARSE_POINT; }

NTSTATUS HostReparseRequest(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  HostFile* file = FindFile(VolumeOf(device), stack->FileObject);
  if (!file || file->volumeOpen) return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
  const auto& parameters = stack->Parameters.FileSystemControl;
  void* buffer = irp->AssociatedIrp.SystemBuffer;
  if (parameters.FsControlCode == FSCTL_SET_REPARSE_POINT)
    return CompleteRequest(irp, SetReparsePoint(file, buffer, buffer ? parameters.InputBufferLength : 0));
  ULONG_PTR information = 0;
  NTSTATUS status = GetReparsePoint(file, buffer, parameters.OutputBufferLength, &information);
  return CompleteRequest(irp, status, information);
}

}  // namespace nb::hostfs
