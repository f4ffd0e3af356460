// IRP_MJ_CLEANUP (the last handle is gone: carry out a pending delete) and IRP_MJ_CLOSE
// (the file object is gone: free its context).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host_io.h"
#include "hostfs_internal.h"
#include "names.h"
#include "nb/text.h"

namespace nb::hostfs {

namespace {

// Delete-pending belongs to one name of a file: a file with hard links keeps its other
// names when one goes. filesMutex held.
bool SameName(const HostFile* a, const HostFile* b) {
  return a->device == b->device && a->inode == b->inode && a->path == b->path;
}

// Removes the file's name if it still names the same file. Called with filesMutex held
// so that no rename moves it meanwhile.
void RemoveName(HostFile* file) {
  // The root stays; a file whose name went has nothing left to remove, and whatever took
  // its old name since is another file.
  if (file->path == u"\\" || file->path.empty()) return;
  ParsedPath parsed;
  if (!NT_SUCCESS(ParsePath(file->path, &parsed))) return;
  const auto& components = parsed.components;
  int parentFd = OpenBeneath(file->volume->rootFd, HostPath(components, components.size() - 1),
                             O_PATH | O_DIRECTORY);
  if (parentFd < 0) return;
  std::string leaf = nb::text::Utf16ToUtf8(components.back());
  struct stat st {};
  if (fstatat(parentFd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == file->device &&
      st.st_ino == file->inode) {
    // Failures (a directory that is not empty after all) leave the name in place.
    (void)unlinkat(parentFd, leaf.c_str(), file->directory ? AT_REMOVEDIR : 0);
  }
  close(parentFd);
}

}  // namespace

NTSTATUS HostCleanup(PDEVICE_OBJECT device, PIRP irp) {
  HostVolume* volume = VolumeOf(device);
  HostFile* file = FindFile(volume, IoGetCurrentIrpStackLocation(irp)->FileObject);
  if (!file || file->volumeOpen) return CompleteRequest(irp, STATUS_SUCCESS);
  {
    std::lock_guard lock(volume->filesMutex);
    file->cleanedUp = true;
    // Delete-on-close makes the name delete-pending for every open of it; the last open
    // to be cleaned up removes the name.
    if (file->deleteOnClose) {
      for (HostFile* open : volume->files) {
        if (SameName(open, file)) open->deletePending = true;
      }
    }
    if (file->deletePending) {
      bool othersOpen = false;
      for (HostFile* open : volume->files) {
        if (open != file && SameName(open, file) && !open->cleanedUp) othersOpen = true;
      }
      if (!othersOpen) RemoveName(file);
    }
  }
  return CompleteRequest(irp, STATUS_SUCCESS);
}

NTSTATUS HostClose(PDEVICE_OBJECT device, PIRP irp) {
  HostVolume* volume = VolumeOf(device);
  PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(irp)->FileObject;
  if (HostFile* file = FindFile(volume, fileObject)) {
    {
      std::lock_guard lock(volume->filesMutex);
      volume->files.erase(file);
    }
    FreeFile(file);
  }
  return CompleteRequest(irp, STATUS_SUCCESS);
}

}  // namespace nb::hostfs
