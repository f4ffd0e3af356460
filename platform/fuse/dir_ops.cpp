// Directories: opendir, readdir (FileIdBothDirectoryInformation through the listing
// filters, in the reader's identity), releasedir.
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "mount_state.h"
#include "nb/kernel/file_requests.h"
#include "nb/text.h"

namespace nb::fuse {

namespace {

constexpr ULONG kListingBuffer = 64 * 1024;

// Reads the whole listing of an open folder as the current process; "." and ".." from
// the file system are left out (the front end adds its own).
NTSTATUS Scan(PFILE_OBJECT folder, std::vector<OpenHandle::Entry>* entries) {
  entries->clear();
  std::vector<unsigned char> buffer(kListingBuffer);
  constexpr ULONG kNameOffset = offsetof(FILE_ID_BOTH_DIR_INFORMATION, FileName);
  for (bool first = true;; first = false) {
    kernel::DirectoryQuery query{FileIdBothDirectoryInformation, std::nullopt,
                                 static_cast<UCHAR>(first ? SL_RESTART_SCAN : 0), 0};
    ULONG returned = 0;
    NTSTATUS status = kernel::QueryDirectory(folder, query, buffer.data(), kListingBuffer, &returned);
    if (status == STATUS_NO_MORE_FILES || status == STATUS_NO_SUCH_FILE) return STATUS_SUCCESS;
    if (!NT_SUCCESS(status)) return status;
    if (returned == 0) return STATUS_SUCCESS;
    for (ULONG offset = 0; offset + kNameOffset <= returned;) {
      FILE_ID_BOTH_DIR_INFORMATION record;
      std::memcpy(&record, buffer.data() + offset, kNameOffset);
      if (offset + kNameOffset + record.FileNameLength > returned) return STATUS_INVALID_PARAMETER;
      std::u16string name(record.FileNameLength / sizeof(WCHAR), u'\0');
      std::memcpy(name.data(), buffer.data() + offset + kNameOffset, name.size() * sizeof(WCHAR));
      if (name != u"." && name != u"..") {
        // A reparse point is listed as what it is (a symbolic link), never as its target.
        const mode_t type = (record.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)       ? S_IFDIR
                            : (record.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? S_IFLNK
                                                                                     : S_IFREG;
        entries->push_back({nb::text::Utf16ToUtf8(name), static_cast<uint64_t>(record.FileId.QuadPart), type});
      }
      if (!record.NextEntryOffset) break;
      offset += record.NextEntryOffset;
    }
  }
}

}  // namespace

void OpenDirectory(fuse_req_t req, fuse_ino_t node, fuse_file_info* fi) {
  NB_AS_CALLER(req);
  std::u16string path;
  if (!NodePath(req, node, &path)) return;
  OpenedFile folder;
  NTSTATUS status = OpenPath(state, path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_OPEN,
                             FILE_DIRECTORY_FILE, folder.Out());
  if (!NT_SUCCESS(status)) return ReplyStatus(req, status);
  OpenHandle* handle = NewHandle(state, folder.Release(), node);
  fi->fh = reinterpret_cast<uintptr_t>(handle);
  fi->cache_readdir = 0;  // a listing is the reader's own: never kept for another
  fi->keep_cache = 0;
  if (fuse_reply_open(req, fi) != 0) {
    ForgetHandle(state, handle);
  }
}

void ReadDirectory(fuse_req_t req, fuse_ino_t node, size_t size, off_t offset, fuse_file_info* fi) {
  NB_AS_CALLER(req);
  OpenHandle* handle = HandleOf(fi);
  std::vector<char> buffer(size);
  size_t used = 0;
  NTSTATUS status = STATUS_SUCCESS;
  {
    // The handle is not touched after the reply: the kernel may release it at once.
    std::lock_guard lock(handle->mutex);
    // Offset 0 is a (re)start: the listing is read afresh in this reader's identity. The
    // folder is opened again by its name for the scan, so a listing meets the locks of
    // this moment as an opendir would, even through a descriptor opened before a lock.
    // Position 0 is ".", 1 is "..", 2 + i entry i; each entry's offset is the next position.
    if (offset == 0) {
      std::u16string path;
      OpenedFile fresh;
      if (state.nodes.PathOf(node, &path)) {
        status = OpenPath(state, path, FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE, fresh.Out());
      }
      if (NT_SUCCESS(status)) status = Scan(fresh.get() ? fresh.get() : handle->file, &handle->listing);
    }
    for (off_t at = offset; NT_SUCCESS(status) && at < static_cast<off_t>(handle->listing.size()) + 2; ++at) {
      struct stat st {};
      const char* name;
      if (at < 2) {
        name = at == 0 ? "." : "..";
        st.st_ino = 1;  // readers skip entries without an inode number
        st.st_mode = S_IFDIR;
      } else {
        const OpenHandle::Entry& entry = handle->listing[static_cast<size_t>(at - 2)];
        name = entry.name.c_str();
        st.st_ino = static_cast<ino_t>(entry.fileId);
        st.st_mode = entry.type;
      }
      size_t needed = fuse_add_direntry(req, buffer.data() + used, size - used, name, &st, at + 1);
      if (needed > size - used) break;
      used += needed;
    }
  }
  if (!NT_SUCCESS(status)) return ReplyStatus(req, status);
  fuse_reply_buf(req, buffer.data(), used);
}

void ReleaseDirectory(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  ForgetHandle(StateOf(req), HandleOf(fi));
  fuse_reply_err(req, 0);
}

}  // namespace nb::fuse
