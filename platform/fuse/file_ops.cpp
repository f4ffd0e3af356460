// Open files: create, open, read, write, flush, fsync, release. Reads that miss the page
// cache and every write go as IRPs in the caller's identity.
#include <fcntl.h>

#include <cerrno>
#include <vector>

#include "mount_state.h"
#include "nb/kernel/file_requests.h"

namespace nb::fuse {

namespace {

// The rights an open's flags ask for. A writing open may also change the attributes: once
// the name has gone it is the only way left to change the file's mode or times (fchmod,
// futimens), and no lock refuses that to an open it lets write.
ACCESS_MASK AccessOf(int flags) {
  ACCESS_MASK access = FILE_READ_ATTRIBUTES;
  int mode = flags & O_ACCMODE;
  if (mode == O_RDONLY || mode == O_RDWR) access |= FILE_READ_DATA;
  if (mode == O_WRONLY || mode == O_RDWR) access |= FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_ATTRIBUTES;
  return access;
}

// Files are opened through the kernel's page cache, so that programs may map them shared
// (databases such as gdbm and SQLite's shared memory do; this libfuse cannot ask the
// kernel to allow shared maps of direct-I/O files). The cache is dropped at every open
// (keep_cache off) and whenever the file's times or size change (auto_inval_data), and
// writes go through to the device stack at once (no write-back cache). A read of a page
// that is not in the cache goes to the device stack in the reader's identity, so a file
// opened before a lock meets it there; what is cached already may still be read through a
// descriptor opened before the lock until the next open of the file.
// Nothing is buffered on this side, so a close has nothing to flush: noflush spares every
// close a round trip (the kernel still sends release).
void Answer(fuse_file_info* fi, OpenHandle* handle) {
  fi->fh = reinterpret_cast<uintptr_t>(handle);
  fi->direct_io = 0;
  fi->keep_cache = 0;
  fi->noflush = 1;
}

// Opens a node whose name went once more (open of /proc/PID/fd/N) through an open of it
// that the kernel holds; the device stack judges it as any open, by the file's old name.
NTSTATUS ReopenNameless(MountState& state, NodeId node, ACCESS_MASK access, ULONG disposition, PFILE_OBJECT* file) {
  HeldHandle held;
  OpenHandle* handle = held.Borrow(state, node);
  if (!handle) return STATUS_OBJECT_NAME_NOT_FOUND;
  kernel::OpenParameters parameters;
  parameters.desiredAccess = access | SYNCHRONIZE;
  parameters.shareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  parameters.disposition = disposition;
  parameters.options = FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
  parameters.related = handle->file;
  return kernel::OpenFile(u"", parameters, file);
}

}  // namespace

void Create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, fuse_file_info* fi) {
  NB_AS_CALLER(req);
  const uint64_t generation = GenerationNow(state);
  std::u16string path;
  if (!ChildOf(req, parent, name, &path)) return;
  ULONG disposition = (fi->flags & O_EXCL) ? FILE_CREATE : (fi->flags & O_TRUNC) ? FILE_OVERWRITE_IF : FILE_OPEN_IF;
  OpenedFile file;
  ULONG_PTR information = 0;
  NTSTATUS status = OpenPath(state, path, AccessOf(fi->flags) | FILE_WRITE_ATTRIBUTES, disposition,
                             FILE_NON_DIRECTORY_FILE, file.Out(), &information);
  if (NT_SUCCESS(status) && information == FILE_CREATED) {
    FILE_STAT_LX_INFORMATION lx{};
    lx.LxFlags = LX_FILE_METADATA_HAS_MODE;
    lx.LxMode = mode;
    status = kernel::SetInformation(file.get(), FileStatLxInformation, &lx, sizeof lx);
  }
  fuse_entry_param entry{};
  if (NT_SUCCESS(status)) status = StatOf(file.get(), &entry.attr);
  if (!NT_SUCCESS(status)) {
    file.Close();
    return ReplyStatus(req, status);
  }
  const bool sameForEveryCaller = SameForEveryCaller(file.get());
  entry.ino = state.nodes.Enter(path);
  entry.generation = 1;
  OpenHandle* handle = NewHandle(state, file.Release(), entry.ino);
  handle->opener = caller.Identity();
  Answer(fi, handle);
  CacheVerdict verdict(state, generation, sameForEveryCaller);
  entry.entry_timeout = verdict.Timeout();
  entry.attr_timeout = verdict.Timeout();
  if (verdict.Cacheable()) state.nodes.MarkCached(entry.ino, true);
  if (fuse_reply_create(req, &entry, fi) != 0) {
    state.nodes.Forget(entry.ino, 1);
    ForgetHandle(state, handle);
  }
}

void Open(fuse_req_t req, fuse_ino_t node, fuse_file_info* fi) {
  NB_AS_CALLER(req);
  std::u16string path;
  const bool named = state.nodes.PathOf(node, &path);
  ULONG disposition = (fi->flags & O_TRUNC) ? FILE_OVERWRITE : FILE_OPEN;
  OpenedFile file;
  NTSTATUS status = named ? OpenPath(state, path, AccessOf(fi->flags), disposition, FILE_NON_DIRECTORY_FILE, file.Out())
                          : ReopenNameless(state, node, AccessOf(fi->flags), disposition, file.Out());
  if (!NT_SUCCESS(status)) return ReplyStatus(req, status);
  OpenHandle* handle = NewHandle(state, file.Release(), node);
  handle->opener = caller.Identity();
  Answer(fi, handle);
  if (fuse_reply_open(req, fi) != 0) {
    ForgetHandle(state, handle);
  }
}

void Read(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi) {
  NB_AS_OPENER(req, fi);
  std::vector<char> buffer(size);
  ULONG transferred = 0;
  NTSTATUS status;
  {
    // The handle is not touched after the reply: the kernel may release it at once.
    std::lock_guard serial(HandleOf(fi)->mutex);
    status = kernel::ReadFile(HandleOf(fi)->file, buffer.data(), static_cast<ULONG>(size), offset, &transferred);
  }
  if (status == STATUS_END_OF_FILE) {
    transferred = 0;
  } else if (!NT_SUCCESS(status)) {
    return ReplyStatus(req, status);
  }
  fuse_reply_buf(req, buffer.data(), transferred);
}

void Write(fuse_req_t req, fuse_ino_t, const char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
  NB_AS_OPENER(req, fi);
  ULONG transferred = 0;
  NTSTATUS status;
  {
    std::lock_guard serial(HandleOf(fi)->mutex);
    status = kernel::WriteFile(HandleOf(fi)->file, buffer, static_cast<ULONG>(size), offset, &transferred);
  }
  if (!NT_SUCCESS(status)) return ReplyStatus(req, status);
  fuse_reply_write(req, transferred);
}

// A close of one descriptor: nothing is buffered here, so there is nothing to write.
void Flush(fuse_req_t req, fuse_ino_t, fuse_file_info*) { fuse_reply_err(req, 0); }

void Fsync(fuse_req_t req, fuse_ino_t, int, fuse_file_info* fi) {
  NB_AS_OPENER(req, fi);
  NTSTATUS status;
  {
    std::lock_guard serial(HandleOf(fi)->mutex);
    status = kernel::FlushFile(HandleOf(fi)->file);
  }
  ReplyStatus(req, status);
}

void Release(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  // Cleanup and close are never refused; the kernel sends release as no process.
  ForgetHandle(StateOf(req), HandleOf(fi));
  fuse_reply_err(req, 0);
}

}  // namespace nb::fuse
