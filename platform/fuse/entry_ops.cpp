// Names and attributes: lookup, getattr, setattr, mkdir, unlink, rmdir, rename, statfs.
// Each opens the path as the caller, so the device stack judges every one.
#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <vector>

#include "mount_state.h"
#include "nb/fuse/status_errno.h"
#include "nb/kernel/file_requests.h"
#include "nb/text.h"

namespace nb::fuse {

namespace {

constexpr LONGLONG kNtTicksPerSecond = 10'000'000;
constexpr LONGLONG kSecondsFrom1601To1970 = 11'644'473'600;
constexpr size_t kMaximumNameBytes = 255;  // as the host's own file systems allow
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

timespec TimespecOf(LONGLONG ntTime) {
  LONGLONG since = ntTime - kSecondsFrom1601To1970 * kNtTicksPerSecond;
  LONGLONG seconds = since / kNtTicksPerSecond;
  LONGLONG rest = since % kNtTicksPerSecond;
  if (rest < 0) {
    rest += kNtTicksPerSecond;
    --seconds;
  }
  return timespec{static_cast<time_t>(seconds), static_cast<long>(rest * 100)};
}

LONGLONG NtTimeOf(const timespec& time) {
  return (static_cast<LONGLONG>(time.tv_sec) + kSecondsFrom1601To1970) * kNtTicksPerSecond + time.tv_nsec / 100;
}

NTSTATUS OpenOptions(const MountState& state, const std::u16string& path, ACCESS_MASK access, ULONG options,
                     PFILE_OBJECT* file) {
  return OpenPath(state, path, access, FILE_OPEN, options, file);
}

bool ListedIn(const MountState& state, const std::u16string& parent, const std::u16string& name);

// A refused open of a name its parent's listing does not show is a name that is not
// there, for this caller; other outcomes stand.
NTSTATUS HiddenOrDenied(const MountState& state, const std::u16string& path, NTSTATUS status) {
  if (status != STATUS_ACCESS_DENIED || path == u"\\") return status;
  size_t slash = path.rfind(u'\\');
  std::u16string parent = slash == 0 ? u"\\" : path.substr(0, slash);
  return ListedIn(state, parent, path.substr(slash + 1)) ? status : STATUS_OBJECT_NAME_NOT_FOUND;
}

// Whether `name` is listed in the folder `parent` for the current process: a lookup the
// device stack refused is a hidden name (ENOENT) when the listing lacks it, a merely
// refused one (EACCES) when it shows it.
bool ListedIn(const MountState& state, const std::u16string& parent, const std::u16string& name) {
  OpenedFile folder;
  if (!NT_SUCCESS(OpenOptions(state, parent, FILE_LIST_DIRECTORY, FILE_DIRECTORY_FILE, folder.Out()))) return false;
  // The name is the pattern; one with wildcard characters may match others, so every
  // match is compared.
  std::vector<unsigned char> buffer(16384);
  for (bool first = true;; first = false) {
    kernel::DirectoryQuery query{FileIdBothDirectoryInformation, std::u16string_view(name),
                                 static_cast<UCHAR>(first ? SL_RESTART_SCAN : 0), 0};
    ULONG returned = 0;
    NTSTATUS status =
        kernel::QueryDirectory(folder.get(), query, buffer.data(), static_cast<ULONG>(buffer.size()), &returned);
    if (!NT_SUCCESS(status)) return false;
    for (ULONG offset = 0; offset + offsetof(FILE_ID_BOTH_DIR_INFORMATION, FileName) <= returned;) {
      auto* record = reinterpret_cast<const FILE_ID_BOTH_DIR_INFORMATION*>(buffer.data() + offset);
      size_t units = record->FileNameLength / sizeof(WCHAR);
      if (offset + offsetof(FILE_ID_BOTH_DIR_INFORMATION, FileName) + record->FileNameLength > returned) break;
      if (std::u16string_view(record->FileName, units) == name) return true;
      if (!record->NextEntryOffset) break;
      offset += record->NextEntryOffset;
    }
  }
}

// Sets what FileStatLxInformation carries (mode, owner) on an open file.
NTSTATUS SetOwnerAndMode(PFILE_OBJECT file, ULONG flags, mode_t mode, uid_t uid, gid_t gid) {
  FILE_STAT_LX_INFORMATION lx{};
  lx.LxFlags = flags;
  lx.LxMode = mode;
  lx.LxUid = uid;
  lx.LxGid = gid;
  return kernel::SetInformation(file, FileStatLxInformation, &lx, sizeof lx);
}

// Removes a name as unlink and rmdir do: at once, while whoever has the file open keeps
// it, so the name is free for a new file straight away. The permission bits of a file do
// not stop its unlink (the folder's do), so the read-only attribute does not either. A
// file system without the extended record gets the plain one.
NTSTATUS Delete(const MountState& state, const std::u16string& path, bool directory) {
  OpenedFile file;
  NTSTATUS status = OpenOptions(state, path, DELETE,
                                kOpenAsNamed | (directory ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE), file.Out());
  if (!NT_SUCCESS(status)) return status;
  FILE_DISPOSITION_INFORMATION_EX posix{FILE_DISPOSITION_DELETE | FILE_DISPOSITION_POSIX_SEMANTICS |
                                        FILE_DISPOSITION_IGNORE_READONLY_ATTRIBUTE};
  status = kernel::SetInformation(file.get(), FileDispositionInformationEx, &posix, sizeof posix);
  if (status != STATUS_INVALID_INFO_CLASS) return status;
  FILE_DISPOSITION_INFORMATION disposition{TRUE};
  return kernel::SetInformation(file.get(), FileDispositionInformation, &disposition, sizeof disposition);
}

// Whether a failed open by name says the name no longer leads to the node's file (so that
// an open of the node may still answer), rather than that the caller may not see it.
bool NameWent(NTSTATUS status) {
  return status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_PATH_NOT_FOUND ||
         status == STATUS_DELETE_PENDING;
}

// The attributes of a node whose name went, through an open of it that the kernel holds
// (a descriptor of an unlinked file); the query is judged by the device stack as the
// caller's, like any other.
NTSTATUS StatThroughHeldHandle(MountState& state, NodeId node, struct stat* st) {
  HeldHandle held;
  OpenHandle* handle = held.Borrow(state, node);
  if (!handle) return STATUS_OBJECT_NAME_NOT_FOUND;
  std::lock_guard serial(handle->mutex);
  return StatOf(handle->file, st);
}

void RemoveName(fuse_req_t req, fuse_ino_t parent, const char* name, bool directory) {
  NB_AS_CALLER(req);
  std::u16string path;
  if (!ChildOf(req, parent, name, &path)) return;
  NTSTATUS status = Delete(state, path, directory);
  if (NT_SUCCESS(status)) state.nodes.Drop(path);
  ReplyStatus(req, status);
}

}  // namespace

NTSTATUS OpenPath(const MountState& state, const std::u16string& path, ACCESS_MASK access, ULONG disposition,
                  ULONG options, PFILE_OBJECT* file, ULONG_PTR* information) {
  kernel::OpenParameters parameters;
  parameters.desiredAccess = access | SYNCHRONIZE;
  parameters.shareAccess = kShareAll;
  parameters.disposition = disposition;
  parameters.options = options | FILE_SYNCHRONOUS_IO_NONALERT;
  return kernel::OpenFile(state.parameters.volume + path, parameters, file, information);
}

NTSTATUS StatOf(PFILE_OBJECT file, struct stat* st) {
  FILE_STAT_LX_INFORMATION lx{};
  NTSTATUS status = kernel::QueryInformation(file, FileStatLxInformation, &lx, sizeof lx);
  if (!NT_SUCCESS(status)) return status;
  *st = {};
  st->st_ino = static_cast<ino_t>(lx.FileId.QuadPart);
  st->st_nlink = lx.NumberOfLinks;
  if (lx.LxFlags & LX_FILE_METADATA_HAS_MODE) {
    st->st_mode = lx.LxMode;
  } else {
    // Without a POSIX mode the attributes say what the file is and whether it is written.
    bool directory = (lx.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    st->st_mode = directory ? (S_IFDIR | 0755) : (S_IFREG | 0644);
    if (lx.FileAttributes & FILE_ATTRIBUTE_READONLY) st->st_mode &= ~0222;
  }
  if (lx.LxFlags & LX_FILE_METADATA_HAS_UID) st->st_uid = lx.LxUid;
  if (lx.LxFlags & LX_FILE_METADATA_HAS_GID) st->st_gid = lx.LxGid;
  if (lx.LxFlags & LX_FILE_METADATA_HAS_DEVICE_ID) st->st_rdev = makedev(lx.LxDeviceIdMajor, lx.LxDeviceIdMinor);
  st->st_size = lx.EndOfFile.QuadPart;
  st->st_blocks = lx.AllocationSize.QuadPart / 512;
  st->st_blksize = 4096;
  st->st_atim = TimespecOf(lx.LastAccessTime.QuadPart);
  st->st_mtim = TimespecOf(lx.LastWriteTime.QuadPart);
  st->st_ctim = TimespecOf(lx.ChangeTime.QuadPart);
  return STATUS_SUCCESS;
}

bool ComponentOf(const char* name, std::u16string* component) {
  std::string_view utf8(name);
  if (utf8.empty() || utf8.find('\\') != std::string_view::npos) return false;
  *component = nb::text::Utf8ToUtf16(utf8);
  return nb::text::Utf16ToUtf8(*component) == utf8;
}

bool NodePath(fuse_req_t req, fuse_ino_t node, std::u16string* path) {
  if (StateOf(req).nodes.PathOf(node, path)) return true;
  fuse_reply_err(req, ENOENT);
  return false;
}

bool ChildOf(fuse_req_t req, fuse_ino_t parent, const char* name, std::u16string* path) {
  std::u16string component;
  if (std::strlen(name) > kMaximumNameBytes) {
    fuse_reply_err(req, ENAMETOOLONG);
    return false;
  }
  if (!ComponentOf(name, &component)) {
    fuse_reply_err(req, EINVAL);
    return false;
  }
  if (!NodePath(req, parent, path)) return false;
  *path = ChildPath(*path, component);
  return true;
}

void ReplyStatus(fuse_req_t req, NTSTATUS status) { fuse_reply_err(req, ErrnoFromStatus(status)); }

uint64_t GenerationNow(MountState& state) {
  std::shared_lock hold(state.policyMutex);
  return state.policyGeneration;
}

CacheVerdict::CacheVerdict(MountState& state, uint64_t generation, bool sameForEveryCaller)
    : hold_(state.policyMutex) {
  if (sameForEveryCaller && state.policyGeneration == generation) timeout_ = state.parameters.cacheSeconds;
}

void ReplyEntry(fuse_req_t req, const std::u16string& path, OpenedFile& file, uint64_t generation) {
  MountState& state = StateOf(req);
  fuse_entry_param entry{};
  NTSTATUS status = StatOf(file.get(), &entry.attr);
  const bool sameForEveryCaller = SameForEveryCaller(file.get());
  file.Close();
  if (!NT_SUCCESS(status)) return ReplyStatus(req, status);
  entry.ino = state.nodes.Enter(path);
  entry.generation = 1;
  if (state.parameters.beforeEntryReply) state.parameters.beforeEntryReply(path);
  CacheVerdict verdict(state, generation, sameForEveryCaller);
  entry.entry_timeout = verdict.Timeout();
  entry.attr_timeout = verdict.Timeout();
  if (verdict.Cacheable()) state.nodes.MarkCached(entry.ino, true);
  if (fuse_reply_entry(req, &entry) != 0) state.nodes.Forget(entry.ino, 1);
}

void ReplyAttributes(fuse_req_t req, fuse_ino_t node, const struct stat& st, uint64_t generation,
                     bool sameForEveryCaller) {
  MountState& state = StateOf(req);
  CacheVerdict verdict(state, generation, sameForEveryCaller);
  if (verdict.Cacheable()) state.nodes.MarkCached(node, false);
  fuse_reply_attr(req, &st, verdict.Timeout());
}

void Lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  NB_AS_CALLER(req);
  const uint64_t generation = GenerationNow(state);
  std::u16string path;
  if (!ChildOf(req, parent, name, &path)) return;
  // A create for attributes, as a direct open does: a process trusted on a hidden folder
  // reaches it by its path although no listing shows it.
  OpenedFile file;
  NTSTATUS status = OpenOptions(state, path, FILE_READ_ATTRIBUTES, kOpenAsNamed, file.Out());
  status = HiddenOrDenied(state, path, status);
  // A name that is not there is answered with an error, never a negative entry: the
  // kernel would keep that for everyone.
  if (!NT_SUCCESS(status)) return ReplyStatus(req, status);
  ReplyEntry(req, path, file, generation);
}

void Forget(fuse_req_t req, fuse_ino_t node, uint64_t lookups) {
  StateOf(req).nodes.Forget(node, lookups);
  fuse_reply_none(req);
}

void ForgetMulti(fuse_req_t req, size_t count, fuse_forget_data* forgets) {
  for (size_t i = 0; i < count; ++i) StateOf(req).nodes.Forget(forgets[i].ino, forgets[i].nlookup);
  fuse_reply_none(req);
}

void GetAttr(fuse_req_t req, fuse_ino_t node, fuse_file_info* fi) {
  NB_AS_CALLER(req);
  const uint64_t generation = GenerationNow(state);
  struct stat st {};
  NTSTATUS status;
  bool sameForEveryCaller = false;  // an open file's mark is as old as its open: never kept
  if (OpenHandle* handle = HandleOf(fi)) {
    std::lock_guard serial(handle->mutex);  // released before the reply
    status = StatOf(handle->file, &st);
  } else {
    std::u16string path;
    const bool named = state.nodes.PathOf(node, &path);
    status = STATUS_OBJECT_NAME_NOT_FOUND;
    OpenedFile file;
    if (named) status = OpenOptions(state, path, FILE_READ_ATTRIBUTES, kOpenAsNamed, file.Out());
    if (NT_SUCCESS(status)) {
      status = StatOf(file.get(), &st);
      sameForEveryCaller = SameForEveryCaller(file.get());
    } else if ((!named || NameWent(status)) && NT_SUCCESS(StatThroughHeldHandle(state, node, &st))) {
      // fstat of a file whose name went comes by node, without the descriptor's handle.
      return (void)fuse_reply_attr(req, &st, 0);
    } else if (named) {
      status = HiddenOrDenied(state, path, status);
    }
  }
  if (!NT_SUCCESS(status)) return ReplyStatus(req, status);
  ReplyAttributes(req, node, st, generation, sameForEveryCaller);
}

void SetAttr(fuse_req_t req, fuse_ino_t node, struct stat* attr, int toSet, fuse_file_info* fi) {
  NB_AS_CALLER(req);
  std::u16string path;
  const bool named = state.nodes.PathOf(node, &path);
  ACCESS_MASK access = FILE_READ_ATTRIBUTES;
  if (toSet & FUSE_SET_ATTR_SIZE) access |= FILE_WRITE_DATA;
  if (toSet & (FUSE_SET_ATTR_MODE | FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID | FUSE_SET_ATTR_ATIME |
               FUSE_SET_ATTR_MTIME | FUSE_SET_ATTR_ATIME_NOW | FUSE_SET_ATTR_MTIME_NOW))
    access |= FILE_WRITE_ATTRIBUTES;
  // A fresh open of the name asks for exactly the rights the change needs; a file whose
  // name went is changed through the caller's own open (ftruncate, futimens bring it) or,
  // when the kernel sends none (fchmod, fchown), through an open of the node it holds.
  OpenedFile opened;
  NTSTATUS status = named ? OpenOptions(state, path, access, kOpenAsNamed, opened.Out()) : STATUS_OBJECT_NAME_NOT_FOUND;
  PFILE_OBJECT file = opened.get();
  HeldHandle held;
  std::unique_lock<std::mutex> serial;
  if (NameWent(status)) {
    OpenHandle* handle = HandleOf(fi);
    if (!handle) handle = held.Borrow(state, node, (access & (FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES)) != 0);
    if (handle) {
      serial = std::unique_lock(handle->mutex);
      file = handle->file;
      status = STATUS_SUCCESS;
    }
  }
  if (NT_SUCCESS(status) && (toSet & FUSE_SET_ATTR_SIZE)) {
    FILE_END_OF_FILE_INFORMATION endOfFile{};
    endOfFile.EndOfFile.QuadPart = attr->st_size;
    status = kernel::SetInformation(file, FileEndOfFileInformation, &endOfFile, sizeof endOfFile);
  }
  if (NT_SUCCESS(status) && (toSet & (FUSE_SET_ATTR_MODE | FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID))) {
    ULONG flags = 0;
    if (toSet & FUSE_SET_ATTR_MODE) flags |= LX_FILE_METADATA_HAS_MODE;
    if (toSet & FUSE_SET_ATTR_UID) flags |= LX_FILE_METADATA_HAS_UID;
    if (toSet & FUSE_SET_ATTR_GID) flags |= LX_FILE_METADATA_HAS_GID;
    status = SetOwnerAndMode(file, flags, attr->st_mode, attr->st_uid, attr->st_gid);
  }
  if (NT_SUCCESS(status) &&
      (toSet & (FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_MTIME | FUSE_SET_ATTR_ATIME_NOW | FUSE_SET_ATTR_MTIME_NOW))) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    FILE_BASIC_INFORMATION basic{};  // 0 keeps a time
    if (toSet & FUSE_SET_ATTR_ATIME_NOW) {
      basic.LastAccessTime.QuadPart = NtTimeOf(now);
    } else if (toSet & FUSE_SET_ATTR_ATIME) {
      basic.LastAccessTime.QuadPart = NtTimeOf(attr->st_atim);
    }
    if (toSet & FUSE_SET_ATTR_MTIME_NOW) {
      basic.LastWriteTime.QuadPart = NtTimeOf(now);
    } else if (toSet & FUSE_SET_ATTR_MTIME) {
      basic.LastWriteTime.QuadPart = NtTimeOf(attr->st_mtim);
    }
    status = kernel::SetInformation(file, FileBasicInformation, &basic, sizeof basic);
  }
  struct stat st {};
  if (NT_SUCCESS(status)) status = StatOf(file, &st);
  if (serial.owns_lock()) serial.unlock();  // the handle is not touched after the reply
  held.Reset();
  opened.Close();
  if (!NT_SUCCESS(status)) return ReplyStatus(req, status);
  fuse_reply_attr(req, &st, 0);
}

void MakeDirectory(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode) {
  NB_AS_CALLER(req);
  const uint64_t generation = GenerationNow(state);
  std::u16string path;
  if (!ChildOf(req, parent, name, &path)) return;
  OpenedFile file;
  NTSTATUS status = OpenPath(state, path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                             FILE_CREATE, FILE_DIRECTORY_FILE, file.Out());
  if (NT_SUCCESS(status)) status = SetOwnerAndMode(file.get(), LX_FILE_METADATA_HAS_MODE, mode, 0, 0);
  if (!NT_SUCCESS(status)) {
    file.Close();
    return ReplyStatus(req, status);
  }
  ReplyEntry(req, path, file, generation);
}

void Unlink(fuse_req_t req, fuse_ino_t parent, const char* name) { RemoveName(req, parent, name, false); }
void RemoveDirectory(fuse_req_t req, fuse_ino_t parent, const char* name) { RemoveName(req, parent, name, true); }

void Rename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newParent, const char* newName,
            unsigned int flags) {
  NB_AS_CALLER(req);
  if (flags & ~RENAME_NOREPLACE) return (void)fuse_reply_err(req, EINVAL);  // no exchange, no whiteout
  std::u16string from, to;
  if (!ChildOf(req, parent, name, &from) || !ChildOf(req, newParent, newName, &to)) return;
  OpenedFile file;
  NTSTATUS status = OpenOptions(state, from, DELETE, kOpenAsNamed, file.Out());
  if (NT_SUCCESS(status)) {
    std::vector<unsigned char> buffer(offsetof(FILE_RENAME_INFORMATION, FileName) + to.size() * sizeof(WCHAR));
    auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
    rename->ReplaceIfExists = (flags & RENAME_NOREPLACE) ? FALSE : TRUE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<ULONG>(to.size() * sizeof(WCHAR));
    std::memcpy(rename->FileName, to.data(), rename->FileNameLength);
    status = kernel::SetInformation(file.get(), FileRenameInformation, buffer.data(),
                                    static_cast<ULONG>(buffer.size()));
  }
  file.Close();
  if (NT_SUCCESS(status)) state.nodes.Move(from, to);
  ReplyStatus(req, status);
}

void StatFs(fuse_req_t req, fuse_ino_t) {
  NB_AS_CALLER(req);
  OpenedFile root;
  NTSTATUS status = OpenOptions(state, u"\\", FILE_READ_ATTRIBUTES, FILE_DIRECTORY_FILE, root.Out());
  FILE_FS_SIZE_INFORMATION size{};
  if (NT_SUCCESS(status))
    status = kernel::QueryVolumeInformation(root.get(), FileFsSizeInformation, &size, sizeof size);
  root.Close();
  if (!NT_SUCCESS(status)) return ReplyStatus(req, status);
  struct statvfs vfs {};
  vfs.f_bsize = vfs.f_frsize = static_cast<unsigned long>(size.SectorsPerAllocationUnit) * size.BytesPerSector;
  vfs.f_blocks = static_cast<fsblkcnt_t>(size.TotalAllocationUnits.QuadPart);
  vfs.f_bfree = vfs.f_bavail = static_cast<fsblkcnt_t>(size.AvailableAllocationUnits.QuadPart);
  vfs.f_namemax = 255;
  fuse_reply_statfs(req, &vfs);
}

}  // namespace nb::fuse
