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

// The first data request through an IRP sets the file up for cached access: from then
// on the I/O manager offers its reads and writes to the fast I/O routines.
void StartCaching(PFILE_OBJECT fileObject, HostFile* file) { fileObject->PrivateCacheMap = file; }

}  // namespace

NTSTATUS ReadData(HostFile* file, PFILE_OBJECT fileObject, void* data, ULONG length, const LARGE_INTEGER& requested,
                  ULONG* done) {
  *done = 0;
  auto* buffer = static_cast<char*>(data);
  if (length == 0) return STATUS_SUCCESS;
  if (!buffer) return STATUS_INVALID_PARAMETER;
  std::lock_guard lock(file->mutex);
  LONGLONG offset = IsCurrentPosition(requested) ? fileObject->CurrentByteOffset.QuadPart : requested.QuadPart;
  if (offset < 0) return STATUS_INVALID_PARAMETER;
  ULONG count = 0;
  while (count < length) {
    ssize_t n = pread(file->fd, buffer + count, length - count, offset + count);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return StatusFromErrno(errno);
    if (n == 0) break;
    count += static_cast<ULONG>(n);
  }
  fileObject->CurrentByteOffset.QuadPart = offset + count;
  if (count == 0) return STATUS_END_OF_FILE;
  *done = count;
  return STATUS_SUCCESS;
}

NTSTATUS WriteData(HostFile* file, PFILE_OBJECT fileObject, const void* data, ULONG length,
                   const LARGE_INTEGER& requested, ULONG* done) {
  *done = 0;
  const auto* buffer = static_cast<const char*>(data);
  if (length == 0) return STATUS_SUCCESS;
  if (!buffer) return STATUS_INVALID_PARAMETER;
  std::lock_guard lock(file->mutex);
  LONGLONG offset;
  if (IsEndOfFile(requested)) {
    struct stat st {};
    if (fstat(file->fd, &st) != 0) return StatusFromErrno(errno);
    offset = st.st_size;
  } else {
    offset = IsCurrentPosition(requested) ? fileObject->CurrentByteOffset.QuadPart : requested.QuadPart;
  }
  if (offset < 0) return STATUS_INVALID_PARAMETER;
  ULONG count = 0;
  while (count < length) {
    // An append-only open writes at the end whatever the offset (O_APPEND).
    ssize_t n = pwrite(file->fd, buffer + count, length - count, offset + count);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (count) break;
      return StatusFromErrno(errno);
    }
    count += static_cast<ULONG>(n);
  }
  fileObject->CurrentByteOffset.QuadPart = offset + count;
  *done = count;
  return STATUS_SUCCESS;
}

NTSTATUS HostRead(PDEVICE_OBJECT device, PIRP irp) {
  HostFile* file;
  NTSTATUS status = DataFileOf(device, irp, &file);
  if (!NT_SUCCESS(status)) return CompleteRequest(irp, status);
  if (!file->canRead) return CompleteRequest(irp, STATUS_ACCESS_DENIED);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG done;
  status = ReadData(file, stack->FileObject, irp->UserBuffer, stack->Parameters.Read.Length,
                    stack->Parameters.Read.ByteOffset, &done);
  if (NT_SUCCESS(status)) StartCaching(stack->FileObject, file);
  return CompleteRequest(irp, status, done);
}

NTSTATUS HostWrite(PDEVICE_OBJECT device, PIRP irp) {
  HostFile* file;
  NTSTATUS status = DataFileOf(device, irp, &file);
  if (!NT_SUCCESS(status)) return CompleteRequest(irp, status);
  if (!file->canWrite) return CompleteRequest(irp, STATUS_ACCESS_DENIED);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG done;
  status = WriteData(file, stack->FileObject, irp->UserBuffer, stack->Parameters.Write.Length,
                     stack->Parameters.Write.ByteOffset, &done);
  if (NT_SUCCESS(status)) StartCaching(stack->FileObject, file);
  return CompleteRequest(irp, status, done);
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
