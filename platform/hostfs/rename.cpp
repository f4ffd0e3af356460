// FileRenameInformation and FileLinkInformation: moving a file or directory within the
// volume (keeping the paths of open files below it current), and giving a file a second
// name.
#include <cerrno>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host_io.h"
#include "hostfs_internal.h"
#include "names.h"
#include "nb/text.h"

namespace nb::hostfs {

namespace {

// The new path a rename record asks for: a path from the volume root, a name in the
// target directory the request names, or a name beside the file.
NTSTATUS NewPathOf(HostFile* file, PFILE_OBJECT targetDirectory, std::u16string_view name, std::u16string* path) {
  if (name.empty()) return STATUS_OBJECT_NAME_INVALID;
  if (targetDirectory) {
    // A directory that is not one of this volume's open files lies on another volume.
    HostFile* directory = FindFile(file->volume, targetDirectory);
    if (!directory) return STATUS_NOT_SAME_DEVICE;
    if (!directory->directory || directory->volumeOpen) return STATUS_INVALID_PARAMETER;
    const std::u16string directoryPath = PathOf(directory);
    if (directoryPath.empty()) return STATUS_FILE_DELETED;
    *path = JoinPath(directoryPath, LeafOf(name));
  } else if (name.front() == u'\\') {
    *path = name;
  } else {
    if (name.find(u'\\') != std::u16string_view::npos) return STATUS_OBJECT_NAME_INVALID;
    const std::u16string filePath = PathOf(file);
    if (filePath.empty()) return STATUS_FILE_DELETED;
    *path = JoinPath(ParentOf(filePath), name);
  }
  return STATUS_SUCCESS;
}

NTSTATUS ParentStatus(int error) {
  return error == ENOENT || error == ENOTDIR ? STATUS_OBJECT_PATH_NOT_FOUND : StatusFromErrno(error);
}

// Whether an existing name may be replaced: nothing replaces a directory, nor a file open
// by someone who did not share delete (an open that shares delete keeps reading the
// replaced file, as POSIX openers do). filesMutex held.
NTSTATUS CheckReplaceable(HostVolume* volume, const struct stat& existing) {
  if (S_ISDIR(existing.st_mode)) return STATUS_ACCESS_DENIED;
  for (HostFile* open : volume->files) {
    if (open->device == existing.st_dev && open->inode == existing.st_ino && !open->cleanedUp &&
        !(open->fileObject && open->fileObject->SharedDelete))
      return STATUS_ACCESS_DENIED;
  }
  return STATUS_SUCCESS;
}

NTSTATUS MoveStatus(int error) { return error == EXDEV ? STATUS_NOT_SAME_DEVICE : StatusFromErrno(error); }

// Renames with filesMutex held, so that the paths of open files move with the names.
NTSTATUS RenameLocked(HostFile* file, const ParsedPath& target, bool replaceIfExists) {
  HostVolume* volume = file->volume;
  const std::u16string oldPath = file->path;
  const std::u16string newPath = NtPath(target.components, target.components.size());
  if (oldPath.empty()) return STATUS_FILE_DELETED;
  if (oldPath == u"\\") return STATUS_INVALID_PARAMETER;
  if (newPath == oldPath) return STATUS_SUCCESS;
  if (IsSameOrBelow(newPath, oldPath)) return STATUS_INVALID_PARAMETER;

  NameAt source, destination;
  NTSTATUS status = OpenOwnName(file, &source);
  if (NT_SUCCESS(status)) status = OpenNameAt(volume, target, &destination);
  if (!NT_SUCCESS(status)) return status;

  int result;
  struct stat st {};
  if (fstatat(destination.parentFd, destination.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!replaceIfExists) return STATUS_OBJECT_NAME_COLLISION;
    status = CheckReplaceable(volume, st);
    if (!NT_SUCCESS(status)) return status;
    result = renameat(source.parentFd, source.leaf.c_str(), destination.parentFd, destination.leaf.c_str());
    // The opens of the replaced file keep it, without its name.
    if (result == 0 && (st.st_dev != file->device || st.st_ino != file->inode))
      ForgetName(volume, st.st_dev, st.st_ino, newPath);
  } else {
    result = renameat2(source.parentFd, source.leaf.c_str(), destination.parentFd, destination.leaf.c_str(),
                       RENAME_NOREPLACE);
  }
  if (result != 0) return MoveStatus(errno);

  for (HostFile* open : volume->files) {
    if (IsSameOrBelow(open->path, oldPath)) open->path = newPath + open->path.substr(oldPath.size());
  }
  return STATUS_SUCCESS;
}

// Makes a second name for the file with filesMutex held (so that no rename moves the
// names meanwhile). A replaced name gives way atomically: the link is made under a
// temporary name and renamed over it.
NTSTATUS LinkLocked(HostFile* file, const ParsedPath& target, bool replaceIfExists) {
  if (file->directory) return STATUS_FILE_IS_A_DIRECTORY;
  HostVolume* volume = file->volume;
  NameAt source, destination;
  NTSTATUS status = OpenOwnName(file, &source);
  if (NT_SUCCESS(status)) status = OpenNameAt(volume, target, &destination);
  if (!NT_SUCCESS(status)) return status;

  struct stat st {};
  if (fstatat(destination.parentFd, destination.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    // Links are made by name and never follow a symbolic link (flags 0).
    if (linkat(source.parentFd, source.leaf.c_str(), destination.parentFd, destination.leaf.c_str(), 0) != 0)
      return MoveStatus(errno);
    return STATUS_SUCCESS;
  }
  if (!replaceIfExists) return STATUS_OBJECT_NAME_COLLISION;
  if (st.st_dev == file->device && st.st_ino == file->inode) return STATUS_SUCCESS;  // the file's name already
  status = CheckReplaceable(volume, st);
  if (!NT_SUCCESS(status)) return status;
  const std::string temporary = TemporaryName(destination.leaf);
  if (linkat(source.parentFd, source.leaf.c_str(), destination.parentFd, temporary.c_str(), 0) != 0)
    return MoveStatus(errno);
  if (renameat(destination.parentFd, temporary.c_str(), destination.parentFd, destination.leaf.c_str()) != 0) {
    const int error = errno;
    (void)unlinkat(destination.parentFd, temporary.c_str(), 0);
    return MoveStatus(error);
  }
  ForgetName(volume, st.st_dev, st.st_ino, NtPath(target.components, target.components.size()));
  return STATUS_SUCCESS;
}

// The checked new name of a rename or link record (their layouts agree).
NTSTATUS TargetOf(HostFile* file, PIO_STACK_LOCATION stack, PIRP irp, ParsedPath* target, bool* replaceIfExists) {
  constexpr ULONG fixed = offsetof(FILE_RENAME_INFORMATION, FileName);
  const ULONG length = stack->Parameters.SetFile.Length;
  const auto* buffer = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
  if (!buffer || length < fixed) return STATUS_INFO_LENGTH_MISMATCH;
  FILE_RENAME_INFORMATION header;
  std::memcpy(&header, buffer, fixed);
  if (header.FileNameLength > length - fixed || header.FileNameLength % sizeof(WCHAR) != 0)
    return STATUS_INVALID_PARAMETER;
  std::u16string name(header.FileNameLength / sizeof(WCHAR), u'\0');
  std::memcpy(name.data(), buffer + fixed, header.FileNameLength);

  std::u16string newPath;
  NTSTATUS status = NewPathOf(file, stack->Parameters.SetFile.FileObject, name, &newPath);
  if (!NT_SUCCESS(status)) return status;
  status = ParsePath(newPath, target);
  if (!NT_SUCCESS(status)) return status;
  if (target->components.empty() || target->trailingSeparator) return STATUS_OBJECT_NAME_INVALID;
  *replaceIfExists = header.ReplaceIfExists != 0;
  return STATUS_SUCCESS;
}

}  // namespace

std::string TemporaryName(const std::string& leaf) {
  static std::atomic<unsigned> counter{0};
  return ".nbhostfs-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" +
         leaf.substr(0, 64);
}

NameAt::~NameAt() {
  if (parentFd >= 0) close(parentFd);
}

NTSTATUS OpenNameAt(HostVolume* volume, const ParsedPath& path, NameAt* name) {
  name->parentFd = OpenBeneath(volume->rootFd, HostPath(path.components, path.components.size() - 1),
                               O_PATH | O_DIRECTORY);
  if (name->parentFd < 0) return ParentStatus(-name->parentFd);
  name->leaf = nb::text::Utf16ToUtf8(path.components.back());
  return STATUS_SUCCESS;
}

NTSTATUS OpenOwnName(HostFile* file, NameAt* name) {
  if (file->path.empty()) return STATUS_FILE_DELETED;
  ParsedPath source;
  NTSTATUS status = ParsePath(file->path, &source);
  if (!NT_SUCCESS(status)) return status;
  if (source.components.empty()) return STATUS_INVALID_PARAMETER;
  status = OpenNameAt(file->volume, source, name);
  if (!NT_SUCCESS(status)) return status;
  struct stat st {};
  if (fstatat(name->parentFd, name->leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_dev != file->device ||
      st.st_ino != file->inode)
    return STATUS_OBJECT_NAME_NOT_FOUND;
  return STATUS_SUCCESS;
}


NTSTATUS SetRename(HostFile* file, PIO_STACK_LOCATION stack, PIRP irp) {
  if (!file->canDelete) return STATUS_ACCESS_DENIED;
  ParsedPath target;
  bool replaceIfExists = false;
  NTSTATUS status = TargetOf(file, stack, irp, &target, &replaceIfExists);
  if (!NT_SUCCESS(status)) return status;
  std::lock_guard lock(file->volume->filesMutex);
  return RenameLocked(file, target, replaceIfExists);
}

// A link asks no particular right of the open it is made through, as on NTFS: the filters
// above judge it as the change it is.
NTSTATUS SetLink(HostFile* file, PIO_STACK_LOCATION stack, PIRP irp) {
  ParsedPath target;
  bool replaceIfExists = false;
  NTSTATUS status = TargetOf(file, stack, irp, &target, &replaceIfExists);
  if (!NT_SUCCESS(status)) return status;
  std::lock_guard lock(file->volume->filesMutex);
  return LinkLocked(file, target, replaceIfExists);
}

}  // namespace nb::hostfs
