// IRP_MJ_QUERY_INFORMATION and IRP_MJ_SET_INFORMATION: times, attributes, sizes, names,
// position, rename and delete disposition (records in the request's system buffer).
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host_io.h"
#include "hostfs_internal.h"
#include "names.h"
#include "nb/text.h"

namespace nb::hostfs {

namespace {

LARGE_INTEGER Large(LONGLONG value) {
  LARGE_INTEGER large;
  large.QuadPart = value;
  return large;
}

// Copies a fixed-size record into the system buffer when it fits.
template <typename Record>
NTSTATUS Return(PIRP irp, ULONG length, const Record& record) {
  if (length < sizeof record) return CompleteRequest(irp, STATUS_INFO_LENGTH_MISMATCH);
  std::memcpy(irp->AssociatedIrp.SystemBuffer, &record, sizeof record);
  return CompleteRequest(irp, STATUS_SUCCESS, sizeof record);
}

// FILE_NAME_INFORMATION: the whole path length, and as much of the path as fits.
NTSTATUS ReturnName(PIRP irp, ULONG length, const std::u16string& path) {
  constexpr ULONG fixed = offsetof(FILE_NAME_INFORMATION, FileName);
  if (length < fixed) return CompleteRequest(irp, STATUS_INFO_LENGTH_MISMATCH);
  auto* buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
  ULONG nameLength = static_cast<ULONG>(path.size() * sizeof(WCHAR));
  std::memcpy(buffer, &nameLength, sizeof nameLength);
  ULONG room = (length - fixed) & ~1u;
  ULONG copied = nameLength < room ? nameLength : room;
  std::memcpy(buffer + fixed, path.data(), copied);
  return CompleteRequest(irp, copied < nameLength ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS, fixed + copied);
}

NTSTATUS QueryInformation(PIRP irp, HostFile* file) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG length = stack->Parameters.QueryFile.Length;
  const FILE_INFORMATION_CLASS informationClass = stack->Parameters.QueryFile.FileInformationClass;
  if (!irp->AssociatedIrp.SystemBuffer) return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
  if (informationClass == FileNameInformation) {
    const std::u16string path = PathOf(file);
    return path.empty() ? CompleteRequest(irp, STATUS_FILE_DELETED) : ReturnName(irp, length, path);
  }
  if (informationClass == FilePositionInformation) {
    return Return(irp, length, FILE_POSITION_INFORMATION{stack->FileObject->CurrentByteOffset});
  }
  FileFacts facts;
  NTSTATUS status = FactsOf(file->fd, &facts);
  if (!NT_SUCCESS(status)) return CompleteRequest(irp, status);
  switch (informationClass) {
    case FileBasicInformation: {
      FILE_BASIC_INFORMATION basic{};
      basic.CreationTime = Large(facts.creationTime);
      basic.LastAccessTime = Large(facts.lastAccessTime);
      basic.LastWriteTime = Large(facts.lastWriteTime);
      basic.ChangeTime = Large(facts.changeTime);
      basic.FileAttributes = facts.attributes;
      return Return(irp, length, basic);
    }
    case FileStandardInformation: {
      FILE_STANDARD_INFORMATION standard{};
      standard.AllocationSize = Large(facts.allocationSize);
      standard.EndOfFile = Large(facts.endOfFile);
      standard.NumberOfLinks = facts.links;
      {
        std::lock_guard lock(file->volume->filesMutex);
        standard.DeletePending = file->deletePending;
      }
      standard.Directory = facts.directory;
      return Return(irp, length, standard);
    }
    case FileInternalInformation:
      return Return(irp, length, FILE_INTERNAL_INFORMATION{Large(static_cast<LONGLONG>(facts.fileId))});
    case FileNetworkOpenInformation: {
      FILE_NETWORK_OPEN_INFORMATION open{};
      open.CreationTime = Large(facts.creationTime);
      open.LastAccessTime = Large(facts.lastAccessTime);
      open.LastWriteTime = Large(facts.lastWriteTime);
      open.ChangeTime = Large(facts.changeTime);
      open.AllocationSize = Large(facts.allocationSize);
      open.EndOfFile = Large(facts.endOfFile);
      open.FileAttributes = facts.attributes;
      return Return(irp, length, open);
    }
    case FileAttributeTagInformation:
      return Return(irp, length, FILE_ATTRIBUTE_TAG_INFORMATION{facts.attributes, 0});
    case FileStatLxInformation: {
      FILE_STAT_LX_INFORMATION lx{};
      lx.FileId = Large(static_cast<LONGLONG>(facts.fileId));
      lx.CreationTime = Large(facts.creationTime);
      lx.LastAccessTime = Large(facts.lastAccessTime);
      lx.LastWriteTime = Large(facts.lastWriteTime);
      lx.ChangeTime = Large(facts.changeTime);
      lx.AllocationSize = Large(facts.allocationSize);
      lx.EndOfFile = Large(facts.endOfFile);
      lx.FileAttributes = facts.attributes;
      lx.NumberOfLinks = facts.links;
      lx.LxFlags = LX_FILE_METADATA_HAS_UID | LX_FILE_METADATA_HAS_GID | LX_FILE_METADATA_HAS_MODE |
                   LX_FILE_METADATA_HAS_DEVICE_ID;
      lx.LxUid = facts.uid;
      lx.LxGid = facts.gid;
      lx.LxMode = facts.mode;
      lx.LxDeviceIdMajor = facts.deviceMajor;
      lx.LxDeviceIdMinor = facts.deviceMinor;
      return Return(irp, length, lx);
    }
    default:
      return CompleteRequest(irp, STATUS_INVALID_INFO_CLASS);
  }
}

// A record of at least the fixed size, read from the system buffer.
template <typename Record>
bool Read(PIRP irp, ULONG length, Record* record) {
  if (length < sizeof *record || !irp->AssociatedIrp.SystemBuffer) return false;
  std::memcpy(record, irp->AssociatedIrp.SystemBuffer, sizeof *record);
  return true;
}

NTSTATUS SetBasic(HostFile* file, const FILE_BASIC_INFORMATION& basic) {
  if (!file->canWriteAttributes) return STATUS_ACCESS_DENIED;
  const std::string procPath = ProcPathOf(file->fd);
  // 0 keeps a time, -1 (stop updating it) is not supported and also keeps it.
  struct timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
  const LARGE_INTEGER* wanted[2] = {&basic.LastAccessTime, &basic.LastWriteTime};
  for (int i = 0; i < 2; ++i) {
    if (wanted[i]->QuadPart > 0) {
      LONGLONG seconds;
      HostTimeFromNt(wanted[i]->QuadPart, &seconds, &times[i].tv_nsec);
      times[i].tv_sec = seconds;
    }
  }
  if (times[0].tv_nsec != UTIME_OMIT || times[1].tv_nsec != UTIME_OMIT) {
    if (utimensat(AT_FDCWD, procPath.c_str(), times, 0) != 0) return StatusFromErrno(errno);
  }
  // The read-only attribute is the write permission of a file; 0 leaves attributes alone.
  if (basic.FileAttributes != 0 && !file->directory) {
    struct stat st {};
    if (fstat(file->fd, &st) != 0) return StatusFromErrno(errno);
    mode_t mode = st.st_mode & 07777;
    mode = (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) ? (mode & ~0222) : (mode | 0200);
    if (mode != (st.st_mode & 07777) && chmod(procPath.c_str(), mode) != 0) return StatusFromErrno(errno);
  }
  return STATUS_SUCCESS;
}

// FileStatLxInformation set: the POSIX permission bits and owner the LxFlags name. The
// type bits of the mode stay the file's own. Needs the right to write attributes.
NTSTATUS SetStatLx(HostFile* file, const FILE_STAT_LX_INFORMATION& lx) {
  if (!file->canWriteAttributes) return STATUS_ACCESS_DENIED;
  const std::string procPath = ProcPathOf(file->fd);
  if ((lx.LxFlags & (LX_FILE_METADATA_HAS_UID | LX_FILE_METADATA_HAS_GID)) != 0) {
    uid_t uid = (lx.LxFlags & LX_FILE_METADATA_HAS_UID) ? lx.LxUid : static_cast<uid_t>(-1);
    gid_t gid = (lx.LxFlags & LX_FILE_METADATA_HAS_GID) ? lx.LxGid : static_cast<gid_t>(-1);
    if (fchownat(file->fd, "", uid, gid, AT_EMPTY_PATH) != 0) return StatusFromErrno(errno);
  }
  if ((lx.LxFlags & LX_FILE_METADATA_HAS_MODE) != 0 && chmod(procPath.c_str(), lx.LxMode & 07777) != 0)
    return StatusFromErrno(errno);
  return STATUS_SUCCESS;
}

NTSTATUS SetEndOfFile(HostFile* file, LONGLONG size, bool onlyShrink) {
  if (file->directory) return STATUS_INVALID_PARAMETER;
  if (!file->canWrite) return STATUS_ACCESS_DENIED;
  if (size < 0) return STATUS_INVALID_PARAMETER;
  if (onlyShrink) {
    struct stat st {};
    if (fstat(file->fd, &st) != 0) return StatusFromErrno(errno);
    if (size >= st.st_size) return STATUS_SUCCESS;
  }
  return ftruncate(file->fd, size) == 0 ? STATUS_SUCCESS : StatusFromErrno(errno);
}

// Whether the file may be deleted at all: not the root, not a read-only file (unless the
// caller asked to ignore that attribute), not a directory with anything in it.
NTSTATUS CheckDeletable(HostFile* file, bool ignoreReadOnly) {
  if (PathOf(file) == u"\\") return STATUS_CANNOT_DELETE;
  struct stat st {};
  if (fstat(file->fd, &st) != 0) return StatusFromErrno(errno);
  if (!file->directory && !(st.st_mode & 0222) && !ignoreReadOnly) return STATUS_CANNOT_DELETE;
  if (!file->directory) return STATUS_SUCCESS;
  // Only an empty directory can be deleted; say so now rather than at cleanup.
  DIR* dir = nullptr;
  if (NTSTATUS status = OpenListing(file->fd, &dir); !NT_SUCCESS(status)) return status;
  bool empty = true;
  while (struct dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) empty = false;
  }
  closedir(dir);
  return empty ? STATUS_SUCCESS : STATUS_DIRECTORY_NOT_EMPTY;
}

// Delete-pending belongs to the name, not to this open of it, nor to the file's other
// names (hard links) that stay.
void MarkPending(HostFile* file, bool deleteFile) {
  std::lock_guard lock(file->volume->filesMutex);
  for (HostFile* open : file->volume->files) {
    if (open->device == file->device && open->inode == file->inode && open->path == file->path) {
      open->deletePending = deleteFile;
      open->fileObject->DeletePending = deleteFile;
    }
  }
}

// Removes the name now, as unlink and rmdir do: the opens of it keep the file through
// their descriptors and become nameless, so that none of them later removes, renames or
// opens by the old name whatever takes it next.
NTSTATUS RemoveNameNow(HostFile* file) {
  std::lock_guard lock(file->volume->filesMutex);
  NameAt name;
  NTSTATUS status = OpenOwnName(file, &name);
  if (!NT_SUCCESS(status)) return status;
  if (unlinkat(name.parentFd, name.leaf.c_str(), file->directory ? AT_REMOVEDIR : 0) != 0)
    return errno == ENOTEMPTY || errno == EEXIST ? STATUS_DIRECTORY_NOT_EMPTY : StatusFromErrno(errno);
  ForgetName(file->volume, file->device, file->inode, std::u16string(file->path));
  return STATUS_SUCCESS;
}

NTSTATUS SetDisposition(HostFile* file, bool deleteFile) {
  if (!file->canDelete) return STATUS_ACCESS_DENIED;
  // A file whose name went is deleted already: it goes with its last close.
  if (PathOf(file).empty()) return deleteFile ? STATUS_SUCCESS : STATUS_FILE_DELETED;
  if (deleteFile) {
    NTSTATUS status = CheckDeletable(file, false);
    if (!NT_SUCCESS(status)) return status;
  }
  MarkPending(file, deleteFile);
  return STATUS_SUCCESS;
}

// FileDispositionInformationEx. Without FILE_DISPOSITION_POSIX_SEMANTICS it is the plain
// disposition; with it the name goes at once. FILE_DISPOSITION_IGNORE_READONLY_ATTRIBUTE
// lifts the read-only refusal (the caller holds DELETE, as on NTFS). An image section check
// has nothing to check here (no file is mapped as an image). FILE_DISPOSITION_ON_CLOSE
// (changing delete-on-close after the open) is refused, as is any unknown flag.
NTSTATUS SetDispositionEx(HostFile* file, ULONG flags) {
  constexpr ULONG kKnown = FILE_DISPOSITION_DELETE | FILE_DISPOSITION_POSIX_SEMANTICS |
                           FILE_DISPOSITION_FORCE_IMAGE_SECTION_CHECK | FILE_DISPOSITION_ON_CLOSE |
                           FILE_DISPOSITION_IGNORE_READONLY_ATTRIBUTE;
  if (flags & ~kKnown) return STATUS_INVALID_PARAMETER;
  if (flags & FILE_DISPOSITION_ON_CLOSE) return STATUS_NOT_SUPPORTED;
  if (!(flags & FILE_DISPOSITION_DELETE)) return SetDisposition(file, false);
  if (!file->canDelete) return STATUS_ACCESS_DENIED;
  if (PathOf(file).empty()) return STATUS_SUCCESS;
  NTSTATUS status = CheckDeletable(file, (flags & FILE_DISPOSITION_IGNORE_READONLY_ATTRIBUTE) != 0);
  if (!NT_SUCCESS(status)) return status;
  if (flags & FILE_DISPOSITION_POSIX_SEMANTICS) return RemoveNameNow(file);
  MarkPending(file, true);
  return STATUS_SUCCESS;
}

}  // namespace

// Rename and link live in rename.cpp.
NTSTATUS SetRename(HostFile* file, PIO_STACK_LOCATION stack, PIRP irp);
NTSTATUS SetLink(HostFile* file, PIO_STACK_LOCATION stack, PIRP irp);

NTSTATUS HostQueryInformation(PDEVICE_OBJECT device, PIRP irp) {
  HostFile* file = FindFile(VolumeOf(device), IoGetCurrentIrpStackLocation(irp)->FileObject);
  if (!file || file->volumeOpen) return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
  return QueryInformation(irp, file);
}

NTSTATUS HostSetInformation(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  HostFile* file = FindFile(VolumeOf(device), stack->FileObject);
  if (!file || file->volumeOpen) return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
  const ULONG length = stack->Parameters.SetFile.Length;
  NTSTATUS status;
  switch (stack->Parameters.SetFile.FileInformationClass) {
    case FileBasicInformation: {
      FILE_BASIC_INFORMATION basic;
      status = Read(irp, length, &basic) ? SetBasic(file, basic) : STATUS_INFO_LENGTH_MISMATCH;
      break;
    }
    case FileRenameInformation:
      status = SetRename(file, stack, irp);
      break;
    case FileLinkInformation:
      status = SetLink(file, stack, irp);
      break;
    case FileStatLxInformation: {
      FILE_STAT_LX_INFORMATION lx;
      status = Read(irp, length, &lx) ? SetStatLx(file, lx) : STATUS_INFO_LENGTH_MISMATCH;
      break;
    }
    case FileDispositionInformation: {
      FILE_DISPOSITION_INFORMATION disposition;
      status = Read(irp, length, &disposition) ? SetDisposition(file, disposition.DeleteFile != 0)
                                               : STATUS_INFO_LENGTH_MISMATCH;
      break;
    }
    case FileDispositionInformationEx: {
      FILE_DISPOSITION_INFORMATION_EX disposition;
      status = Read(irp, length, &disposition) ? SetDispositionEx(file, disposition.Flags)
                                               : STATUS_INFO_LENGTH_MISMATCH;
      break;
    }
    case FileEndOfFileInformation: {
      FILE_END_OF_FILE_INFORMATION endOfFile;
      status = Read(irp, length, &endOfFile) ? SetEndOfFile(file, endOfFile.EndOfFile.QuadPart, false)
                                             : STATUS_INFO_LENGTH_MISMATCH;
      break;
    }
    case FileAllocationInformation: {
      // Space is not reserved ahead; a smaller allocation cuts the file.
      FILE_ALLOCATION_INFORMATION allocation;
      status = Read(irp, length, &allocation) ? SetEndOfFile(file, allocation.AllocationSize.QuadPart, true)
                                              : STATUS_INFO_LENGTH_MISMATCH;
      break;
    }
    case FilePositionInformation: {
      FILE_POSITION_INFORMATION position;
      if (!Read(irp, length, &position)) {
        status = STATUS_INFO_LENGTH_MISMATCH;
      } else if (position.CurrentByteOffset.QuadPart < 0) {
        status = STATUS_INVALID_PARAMETER;
      } else {
        std::lock_guard lock(file->mutex);
        stack->FileObject->CurrentByteOffset = position.CurrentByteOffset;
        status = STATUS_SUCCESS;
      }
      break;
    }
    default:
      status = STATUS_INVALID_INFO_CLASS;
      break;
  }
  return CompleteRequest(irp, status);
}

}  // namespace nb::hostfs
