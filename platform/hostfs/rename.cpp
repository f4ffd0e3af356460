// FileRenameInformation: moving a file or directory within the volume, and keeping the
// paths of open files below it current.
#include <cerrno>
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

// Closes a descriptor at the end of a scope.
class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) close(fd_);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The new path a rename record asks for: a path from the volume root, a name in the
// target directory the request names, or a name beside the file.
NTSTATUS NewPathOf(HostFile* file, PFILE_OBJECT targetDirectory, std::u16string_view name, std::u16string* path) {
  if (name.empty()) return STATUS_OBJECT_NAME_INVALID;
  if (targetDirectory) {
    HostFile* directory = FindFile(file->volume, targetDirectory);
    if (!directory || !directory->directory || directory->volumeOpen) return STATUS_INVALID_PARAMETER;
    *path = JoinPath(PathOf(directory), LeafOf(name));
  } else if (name.front() == u'\\') {
    *path = name;
  } else {
    if (name.find(u'\\') != std::u16string_view::npos) return STATUS_OBJECT_NAME_INVALID;
    *path = JoinPath(ParentOf(PathOf(file)), name);
  }
  return STATUS_SUCCESS;
}

NTSTATUS ParentStatus(int error) {
  return error == ENOENT || error == ENOTDIR ? STATUS_OBJECT_PATH_NOT_FOUND : StatusFromErrno(error);
}

// Renames with filesMutex held, so that the paths of open files move with the names.
NTSTATUS RenameLocked(HostFile* file, const ParsedPath& target, bool replaceIfExists) {
  HostVolume* volume = file->volume;
  const std::u16string oldPath = file->path;
  const std::u16string newPath = NtPath(target.components, target.components.size());
  if (oldPath == u"\\") return STATUS_INVALID_PARAMETER;
  if (newPath == oldPath) return STATUS_SUCCESS;
  if (IsSameOrBelow(newPath, oldPath)) return STATUS_INVALID_PARAMETER;

  ParsedPath source;
  NTSTATUS status = ParsePath(oldPath, &source);
  if (!NT_SUCCESS(status)) return status;
  ScopedFd sourceParent(OpenBeneath(volume->rootFd, HostPath(source.components, source.components.size() - 1),
                                    O_PATH | O_DIRECTORY));
  if (sourceParent.get() < 0) return ParentStatus(-sourceParent.get());
  const std::string sourceLeaf = nb::text::Utf16ToUtf8(source.components.back());
  struct stat st {};
  if (fstatat(sourceParent.get(), sourceLeaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_dev != file->device ||
      st.st_ino != file->inode)
    return STATUS_OBJECT_NAME_NOT_FOUND;

  ScopedFd targetParent(OpenBeneath(volume->rootFd, HostPath(target.components, target.components.size() - 1),
                                    O_PATH | O_DIRECTORY));
  if (targetParent.get() < 0) return ParentStatus(-targetParent.get());
  const std::string targetLeaf = nb::text::Utf16ToUtf8(target.components.back());

  int result;
  if (fstatat(targetParent.get(), targetLeaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!replaceIfExists) return STATUS_OBJECT_NAME_COLLISION;
    // Nothing replaces a directory, nor a file open by someone who did not share delete
    // (an open that shares delete keeps reading the replaced file, as POSIX openers do).
    if (S_ISDIR(st.st_mode)) return STATUS_ACCESS_DENIED;
    for (HostFile* open : volume->files) {
      if (open->device == st.st_dev && open->inode == st.st_ino && !open->cleanedUp &&
          !(open->fileObject && open->fileObject->SharedDelete))
        return STATUS_ACCESS_DENIED;
    }
    result = renameat(sourceParent.get(), sourceLeaf.c_str(), targetParent.get(), targetLeaf.c_str());
  } else {
    result = renameat2(sourceParent.get(), sourceLeaf.c_str(), targetParent.get(), targetLeaf.c_str(),
                       RENAME_NOREPLACE);
  }
  if (result != 0) return errno == EXDEV ? STATUS_NOT_SAME_DEVICE : StatusFromErrno(errno);

  for (HostFile* open : volume->files) {
    if (IsSameOrBelow(open->path, oldPath)) open->path = newPath + open->path.substr(oldPath.size());
  }
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS SetRename(HostFile* file, PIO_STACK_LOCATION stack, PIRP irp) {
  if (!file->canDelete) return STATUS_ACCESS_DENIED;
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
  ParsedPath target;
  status = ParsePath(newPath, &target);
  if (!NT_SUCCESS(status)) return status;
  if (target.components.empty() || target.trailingSeparator) return STATUS_OBJECT_NAME_INVALID;
  std::lock_guard lock(file->volume->filesMutex);
  return RenameLocked(file, target, header.ReplaceIfExists != 0);
}

}  // namespace nb::hostfs
