// IRP_MJ_READ, IRP_MJ_WRITE and IRP_MJ_FLUSH_BUFFERS on files (data in the request's
// UserBuffer), keeping the position of synchronous file objects.
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

#include "host_io.h"
#include "hostfs_internal.h"

namespace nb::hostfs {

namespace {

bool IsCurrentPosition(const LARGE_INTEGER& offset) {
  return offset.u.HighPart == -1 && offset.u.LowPart == FILE_USE_FILE_POINTER_POSITION;
}
bool IsEndOfFile(const LARGE_INTEGER& offset) {
  return offset.u.HighPart == -1 && offset.u.LowPart == FILE_WRITE_TO_END_OF_FILE;
}

// The open file a data request may use, or the status that refuses it.
NTSTATUS DataFileOf(PDEVICE_OBJECT device, PIRP irp, HostFile** file) {
  *file = FindFile(VolumeOf(device), IoGetCurrentIrpStackLocation(irp)->FileObject);
  if (!*file || (*file)->volumeOpen || (*file)->directory) return STATUS_INVALID_DEVICE_REQUEST;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS HostRead(PDEVICE_OBJECT device, PIRP irp) {
  HostFile* file;
  NTSTATUS status = DataFileOf(device, irp, &file);
  if (!NT_SUCCESS(status)) return CompleteRequest(irp, status);
  if (!file->canRead) return CompleteRequest(irp, STATUS_ACCESS_DENIED);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG length = stack->Parameters.Read.Length;
  auto* buffer = static_cast<char*>(irp->UserBuffer);
  if (length == 0) return CompleteRequest(irp, STATUS_SUCCESS);
  if (!buffer) return CompleteRequest(irp, STATUS_INVALID_PARAMETER);

  PFILE_OBJECT fileObject = stack->FileObject;
  std::lock_guard lock(file->mutex);
  LONGLONG offset = IsCurrentPosition(stack->Parameters.Read.ByteOffset) ? fileObject->CurrentByteOffset.QuadPart
                                                                         : stack->Parameters.Read.ByteOffset.QuadPart;
  if (offset < 0) return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
  ULONG done = 0;
  while (done < length) {
    ssize_t n = pread(file->fd, buffer + done, length - done, offset + done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return CompleteRequest(irp, StatusFromErrno(errno));
    if (n == 0) break;
    done += static_cast<ULONG>(n);
  }
  fileObject->CurrentByteOffset.QuadPart = offset + done;
  if (done == 0) return CompleteRequest(irp, STATUS_END_OF_FILE);
  return CompleteRequest(irp, STATUS_SUCCESS, done);
}

NTSTATUS HostWrite(PDEVICE_OBJECT device, PIRP irp) {
  HostFile* file;
  NTSTATUS status = DataFileOf(device, irp, &file);
  if (!NT_SUCCESS(status)) return CompleteRequest(irp, status);
  if (!file->canWrite) return CompleteRequest(irp, STATUS_ACCESS_DENIED);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG length = stack->Parameters.Write.Length;
  const auto* buffer = static_cast<const char*>(irp->UserBuffer);
  if (length == 0) return CompleteRequest(irp, STATUS_SUCCESS);
  if (!buffer) return CompleteRequest(irp, STATUS_INVALID_PARAMETER);

  PFILE_OBJECT fileObject = stack->FileObject;
  std::lock_guard lock(file->mutex);
  const LARGE_INTEGER& requested = stack->Parameters.Write.ByteOffset;
  LONGLONG offset;
  if (IsEndOfFile(requested)) {
    struct stat st {};
    if (fstat(file->fd, &st) != 0) return CompleteRequest(irp, StatusFromErrno(errno));
    offset = st.st_size;
  } else {
    offset = IsCurrentPosition(requested) ? fileObject->CurrentByteOffset.QuadPart : requested.QuadPart;
  }
  if (offset < 0) return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
  ULONG done = 0;
  while (done < length) {
    // An append-only open writes at the end whatever the offset (O_APPEND).
    ssize_t n = pwrite(file->fd, buffer + done, length - done, offset + done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (done) break;
      return CompleteRequest(irp, StatusFromErrno(errno));
    }
    done += static_cast<ULONG>(n);
  }
  fileObject->CurrentByteOffset.QuadPart = offset + done;
  return CompleteRequest(irp, STATUS_SUCCESS, done);
}

NTSTATUS HostFlushBuffers(PDEVICE_OBJECT device, PIRP irp) {
  HostVolume* volume = VolumeOf(device);
  HostFile* file = FindFile(volume, IoGetCurrentIrpStackLocation(irp)->FileObject);
  if (!file) return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
  if (file->volumeOpen) {
    return CompleteRequest(irp, syncfs(volume->rootFd) == 0 ? STATUS_SUCCESS : StatusFromErrno(errno));
  }
  if (file->directory) return CompleteRequest(irp, STATUS_SUCCESS);
  if (!file->canWrite) return CompleteRequest(irp, STATUS_ACCESS_DENIED);
  return CompleteRequest(irp, fsync(file->fd) == 0 ? STATUS_SUCCESS : StatusFromErrno(errno));
}

}  // namespace nb::hostfs
