// IRP_MJ_CREATE: opening and making files and directories below the backing folder with
// the NT dispositions and options.
#include <cerrno>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include "create_rules.h"
#include "host_io.h"
#include "hostfs_internal.h"
#include "names.h"
#include "nb/text.h"

namespace nb::hostfs {

namespace {

// The create request decoded from its stack location.
struct CreateRequest {
  ULONG disposition;
  ULONG options;
  ACCESS_MASK access;
  USHORT fileAttributes;
  bool openTargetDirectory;
};

CreateRequest Decode(PIO_STACK_LOCATION stack) {
  CreateRequest request;
  request.disposition = stack->Parameters.Create.Options >> 24;
  request.options = stack->Parameters.Create.Options & FILE_VALID_OPTION_FLAGS;
  PIO_SECURITY_CONTEXT security = stack->Parameters.Create.SecurityContext;
  request.access = security ? security->DesiredAccess : 0;
  request.fileAttributes = stack->Parameters.Create.FileAttributes;
  request.openTargetDirectory = (stack->Flags & SL_OPEN_TARGET_DIRECTORY) != 0;
  return request;
}

// What the desired access lets the open do.
void GrantAccess(HostFile* file, ACCESS_MASK access, ULONG options) {
  file->canRead = (access & (FILE_READ_DATA | FILE_EXECUTE)) != 0;
  file->canWrite = (access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
  file->canWriteAttributes = (access & FILE_WRITE_ATTRIBUTES) != 0;
  file->canDelete = (access & DELETE) != 0;
  file->deleteOnClose = (options & FILE_DELETE_ON_CLOSE) != 0;
}

bool AppendOnly(ACCESS_MASK access) { return (access & FILE_APPEND_DATA) && !(access & FILE_WRITE_DATA); }

// The path the create names: its own name, or its name below the related file object.
// An empty name without a related file object (or below a volume open) opens the volume;
// an empty name below a file whose name went opens that file again (`nameless`).
NTSTATUS FullPathOf(HostVolume* volume, PFILE_OBJECT fileObject, std::u16string* path, bool* volumeOpen,
                    HostFile** nameless) {
  std::u16string_view name(fileObject->FileName.Buffer ? fileObject->FileName.Buffer : u"",
                           fileObject->FileName.Length / sizeof(WCHAR));
  *volumeOpen = false;
  if (!fileObject->RelatedFileObject) {
    *volumeOpen = name.empty();
    *path = name;
    return STATUS_SUCCESS;
  }
  HostFile* base = FindFile(volume, fileObject->RelatedFileObject);
  if (!base) return STATUS_INVALID_PARAMETER;
  if (!name.empty() && name.front() == u'\\') return STATUS_OBJECT_NAME_INVALID;
  if (base->volumeOpen) {
    *volumeOpen = name.empty();
    *path = JoinPath(u"\\", name);
    return STATUS_SUCCESS;
  }
  if (!base->directory && !name.empty()) return STATUS_INVALID_PARAMETER;
  const std::u16string basePath = PathOf(base);
  // Nothing but the file itself is reached through a file whose name went.
  if (basePath.empty()) {
    if (!name.empty()) return STATUS_FILE_DELETED;
    *nameless = base;
    return STATUS_SUCCESS;
  }
  *path = name.empty() ? basePath : JoinPath(basePath, name);
  return STATUS_SUCCESS;
}

// Whether the name `path` of the file is about to go; its other names (hard links) stay.
bool IsDeletePending(HostVolume* volume, const HostIdentity& identity, const std::u16string& path) {
  std::lock_guard lock(volume->filesMutex);
  for (HostFile* open : volume->files) {
    if (open->device == identity.device && open->inode == identity.inode && open->deletePending &&
        !open->cleanedUp && open->path == path)
      return true;
  }
  return false;
}

// Opens the directory that holds the last component, as O_PATH; -errno on failure.
int OpenParent(HostVolume* volume, const ParsedPath& parsed) {
  const auto& components = parsed.components;
  return OpenBeneath(volume->rootFd, HostPath(components, components.size() - 1), O_PATH | O_DIRECTORY);
}

NTSTATUS ParentStatus(int error) {
  return error == ENOENT || error == ENOTDIR ? STATUS_OBJECT_PATH_NOT_FOUND : StatusFromErrno(error);
}

NTSTATUS FinishIdentity(HostFile* file) {
  HostIdentity identity;
  NTSTATUS status = IdentityOf(file->fd, &identity);
  file->device = identity.device;
  file->inode = identity.inode;
  return status;
}

// Opens what the name refers to; takes over `pathFd` (an O_PATH descriptor).
NTSTATUS OpenExisting(HostVolume* volume, int pathFd, const ParsedPath& parsed, const CreateRequest& request,
                      CreateAction action, HostFile* file) {
  HostIdentity identity;
  NTSTATUS status = IdentityOf(pathFd, &identity);
  if (!NT_SUCCESS(status)) {
    close(pathFd);
    return status;
  }
  const bool directory = S_ISDIR(identity.mode);
  // A symbolic link is opened only as itself (FILE_OPEN_REPARSE_POINT), to read its text,
  // rename or delete it: hostfs does not follow it, whoever resolves it names the target
  // again, and that name meets the filters on its own.
  if (S_ISLNK(identity.mode) &&
      (!(request.options & FILE_OPEN_REPARSE_POINT) || action != CreateAction::kOpen))
    status = STATUS_ACCESS_DENIED;
  if (NT_SUCCESS(status) && IsDeletePending(volume, identity, NtPath(parsed.components, parsed.components.size())))
    status = STATUS_DELETE_PENDING;
  if (NT_SUCCESS(status)) status = CheckTargetKind(request.options, directory, parsed.trailingSeparator);
  if (NT_SUCCESS(status) && directory && action != CreateAction::kOpen) status = STATUS_FILE_IS_A_DIRECTORY;
  // A read-only file (no write permission at all) refuses writers even where the host
  // would let this process write, as the read-only attribute does.
  const bool truncate = action == CreateAction::kOverwrite || action == CreateAction::kSupersede;
  if (NT_SUCCESS(status) && !directory && !(identity.mode & 0222) && (file->canWrite || truncate))
    status = STATUS_ACCESS_DENIED;
  if (NT_SUCCESS(status) && file->deleteOnClose) {
    // The root cannot go, nor can a read-only file.
    if (parsed.components.empty() || (!directory && !(identity.mode & 0222))) status = STATUS_CANNOT_DELETE;
  }
  if (!NT_SUCCESS(status)) {
    close(pathFd);
    return status;
  }
  file->directory = directory;
  file->device = identity.device;
  file->inode = identity.inode;
  if (directory || !(file->canRead || file->canWrite || truncate)) {
    file->fd = pathFd;
    return STATUS_SUCCESS;
  }
  // Data is read and written only through regular files.
  if (!S_ISREG(identity.mode)) {
    close(pathFd);
    return STATUS_ACCESS_DENIED;
  }
  // One open both checks the access and truncates, so a refused open changes nothing;
  // the granted access, not the descriptor's mode, decides what requests may do later.
  const bool writes = file->canWrite || truncate;
  int flags = file->canRead && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
  if (truncate) flags |= O_TRUNC;
  if (AppendOnly(request.access)) flags |= O_APPEND;
  int dataFd = Reopen(pathFd, flags);
  close(pathFd);
  if (dataFd < 0) return StatusFromErrno(-dataFd);
  file->fd = dataFd;
  return STATUS_SUCCESS;
}

// Makes the last component as a file or (FILE_DIRECTORY_FILE) a directory.
// STATUS_OBJECT_NAME_COLLISION when something of that name appeared meanwhile.
NTSTATUS CreateNew(HostVolume* volume, const ParsedPath& parsed, const CreateRequest& request, HostFile* file) {
  if (parsed.components.empty()) return STATUS_OBJECT_NAME_COLLISION;
  const bool directory = (request.options & FILE_DIRECTORY_FILE) != 0;
  NTSTATUS status = CheckTargetKind(request.options, directory, parsed.trailingSeparator);
  if (!NT_SUCCESS(status)) return status;
  int parentFd = OpenParent(volume, parsed);
  if (parentFd < 0) return ParentStatus(-parentFd);
  std::string leaf = nb::text::Utf16ToUtf8(parsed.components.back());
  int fd;
  if (directory) {
    fd = mkdirat(parentFd, leaf.c_str(), 0777) == 0
             ? openat(parentFd, leaf.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
             : -1;
  } else {
    mode_t mode = (request.fileAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
    int flags = O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
    if (AppendOnly(request.access)) flags |= O_APPEND;
    fd = openat(parentFd, leaf.c_str(), flags, mode);
  }
  int error = errno;
  close(parentFd);
  if (fd < 0) return StatusFromErrno(error);
  file->fd = fd;
  file->directory = directory;
  return FinishIdentity(file);
}

bool ParentExists(HostVolume* volume, const ParsedPath& parsed) {
  if (parsed.components.size() <= 1) return true;
  int parentFd = OpenParent(volume, parsed);
  if (parentFd < 0) return false;
  close(parentFd);
  return true;
}

NTSTATUS OpenOrCreate(HostVolume* volume, const ParsedPath& parsed, const CreateRequest& request, HostFile* file,
                      ULONG* information) {
  const std::string relative = HostPath(parsed.components, parsed.components.size());
  // A create that loses a race with another creator of the same name looks again.
  for (int attempt = 0; attempt < 3; ++attempt) {
    int pathFd = OpenBeneath(volume->rootFd, relative, O_PATH | O_NOFOLLOW);
    bool exists = pathFd >= 0;
    if (!exists) {
      if (pathFd == -ENOTDIR || (pathFd == -ENOENT && !ParentExists(volume, parsed)))
        return STATUS_OBJECT_PATH_NOT_FOUND;
      if (pathFd != -ENOENT) return StatusFromErrno(-pathFd);
    }
    CreateDecision decision = DecideCreate(request.disposition, exists);
    if (decision.action == CreateAction::kFail) {
      if (exists) close(pathFd);
      return decision.status;
    }
    *information = decision.information;
    if (exists) return OpenExisting(volume, pathFd, parsed, request, decision.action, file);
    NTSTATUS status = CreateNew(volume, parsed, request, file);
    if (status != STATUS_OBJECT_NAME_COLLISION || request.disposition == FILE_CREATE) return status;
  }
  return STATUS_OBJECT_NAME_COLLISION;
}

// SL_OPEN_TARGET_DIRECTORY: opens the directory that would hold the name and tells
// whether the name exists there.
NTSTATUS OpenTargetDirectory(HostVolume* volume, ParsedPath* parsed, HostFile* file, ULONG* information) {
  if (parsed->components.empty()) return STATUS_OBJECT_NAME_INVALID;
  int parentFd = OpenParent(volume, *parsed);
  if (parentFd < 0) return ParentStatus(-parentFd);
  std::string leaf = nb::text::Utf16ToUtf8(parsed->components.back());
  struct stat st {};
  *information = fstatat(parentFd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? FILE_EXISTS : FILE_DOES_NOT_EXIST;
  file->fd = parentFd;
  file->directory = true;
  parsed->components.pop_back();
  parsed->trailingSeparator = false;
  return FinishIdentity(file);
}

// Opens a file whose name went once more, through an open of it (as Linux reopens
// /proc/PID/fd/N): with the checks and the access of any open of an existing file.
NTSTATUS ReopenNameless(HostVolume* volume, HostFile* base, const CreateRequest& request, HostFile* file,
                        ULONG* information) {
  if (request.openTargetDirectory) return STATUS_FILE_DELETED;
  CreateDecision decision = DecideCreate(request.disposition, true);
  if (decision.action == CreateAction::kFail) return decision.status;
  int pathFd = Reopen(base->fd, O_PATH);
  if (pathFd < 0) return StatusFromErrno(-pathFd);
  *information = decision.information;
  // No name: nothing may be delete-pending under it, and nothing deleted by it (the checks
  // treat it as the root, which no one deletes).
  return OpenExisting(volume, pathFd, ParsedPath{}, request, decision.action, file);
}

// Makes the open file known to the volume and to its file object.
NTSTATUS Register(HostVolume* volume, PFILE_OBJECT fileObject, HostFile* file, std::u16string path,
                  USHORT shareAccess) {
  file->volume = volume;
  file->fileObject = fileObject;
  file->path = std::move(path);
  try {
    std::lock_guard lock(volume->filesMutex);
    volume->files.insert(file);
  } catch (const std::bad_alloc&) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  fileObject->FsContext = file;
  fileObject->FsContext2 = nullptr;
  fileObject->Vpb = volume->vpb;
  fileObject->ReadAccess = file->canRead;
  fileObject->WriteAccess = file->canWrite;
  fileObject->DeleteAccess = file->canDelete;
  fileObject->SharedRead = (shareAccess & FILE_SHARE_READ) != 0;
  fileObject->SharedWrite = (shareAccess & FILE_SHARE_WRITE) != 0;
  fileObject->SharedDelete = (shareAccess & FILE_SHARE_DELETE) != 0;
  if (file->volumeOpen) fileObject->Flags |= FO_VOLUME_OPEN;
  return STATUS_SUCCESS;
}

NTSTATUS Create(HostVolume* volume, PIO_STACK_LOCATION stack, ULONG* information) {
  PFILE_OBJECT fileObject = stack->FileObject;
  if (!fileObject) return STATUS_INVALID_PARAMETER;
  const CreateRequest request = Decode(stack);
  NTSTATUS status = CheckCreateOptions(request.disposition, request.options, request.access);
  if (!NT_SUCCESS(status)) return status;
  if (request.options & FILE_OPEN_BY_FILE_ID) return STATUS_NOT_SUPPORTED;
  std::u16string path;
  bool volumeOpen;
  HostFile* nameless = nullptr;
  status = FullPathOf(volume, fileObject, &path, &volumeOpen, &nameless);
  if (!NT_SUCCESS(status)) return status;
  ParsedPath parsed;
  if (!volumeOpen && !nameless) {
    status = ParsePath(path, &parsed);
    if (!NT_SUCCESS(status)) return status;
  }

  auto* file = new (std::nothrow) HostFile;
  if (!file) return STATUS_INSUFFICIENT_RESOURCES;
  GrantAccess(file, request.access, request.options);
  if (volumeOpen) {
    file->volumeOpen = true;
    file->deleteOnClose = false;
    *information = FILE_OPENED;
  } else if (nameless) {
    status = ReopenNameless(volume, nameless, request, file, information);
  } else if (request.openTargetDirectory) {
    status = OpenTargetDirectory(volume, &parsed, file, information);
  } else {
    status = OpenOrCreate(volume, parsed, request, file, information);
  }
  if (NT_SUCCESS(status)) {
    std::u16string registered = volumeOpen ? std::u16string(u"\\")
                                : nameless ? std::u16string()
                                           : NtPath(parsed.components, parsed.components.size());
    // A file without a name goes with its last close, as every open of it says.
    file->deletePending = nameless != nullptr;
    status = Register(volume, fileObject, file, std::move(registered), stack->Parameters.Create.ShareAccess);
    if (NT_SUCCESS(status) && nameless) fileObject->DeletePending = TRUE;
  }
  if (!NT_SUCCESS(status)) FreeFile(file);
  return status;
}

}  // namespace

NTSTATUS HostCreate(PDEVICE_OBJECT device, PIRP irp) {
  HostVolume* volume = VolumeOf(device);
  // Opening a control device is how callers reach the file system itself.
  if (!volume) return CompleteRequest(irp, STATUS_SUCCESS, FILE_OPENED);
  ULONG information = 0;
  NTSTATUS status = Create(volume, IoGetCurrentIrpStackLocation(irp), &information);
  return CompleteRequest(irp, status, NT_SUCCESS(status) ? information : 0);
}

}  // namespace nb::hostfs
