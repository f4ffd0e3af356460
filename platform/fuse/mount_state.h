// What the request handlers of one mount share, and the helpers every handler uses:
// acting as the caller, opening volume paths and replying with errno.
#pragma once

#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>
#include <sys/stat.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include <ntifs.h>

#include "caller.h"
#include "nb/fuse/volume_mount.h"
#include "nb/kernel/io.h"
#include "node_table.h"

namespace nb::fuse {

// An open file or directory of a FUSE file handle. A directory keeps the listing of its
// last scan from offset 0, so offsets stay meaningful while the caller reads on.
struct OpenHandle {
  PFILE_OBJECT file = nullptr;
  NodeId node = 0;  // the node it was opened on
  // The kernel's file handle holds one reference, and so does each request that borrowed
  // the handle for a request on its node (see HeldHandle); the last closes the file.
  std::atomic<int> references{1};
  // Who opened it: the kernel's own reads and writes on it (write-back of mapped pages,
  // which come with no caller) are made as this process, never as the System process.
  server::ProcessIdentity opener;
  // One request at a time on the file object, as the I/O manager serialises the requests
  // on a synchronous file object; it also guards the listing.
  std::mutex mutex;
  struct Entry {
    std::string name;
    uint64_t fileId;
    mode_t type;  // S_IFDIR, S_IFLNK or S_IFREG
  };
  std::vector<Entry> listing;
};

struct VolumeMount::State {
  explicit State(kernel::Kernel& owner) : kernel(owner) {}
  kernel::Kernel& kernel;
  MountParameters parameters;
  NodeTable nodes;
  fuse_session* session = nullptr;
  std::thread loop;
  std::atomic<bool> mounted{false};
  dev_t connection = 0;  // the mount's device number: its FUSE connection's id
  // Identities of recent callers; none when the parameters bring a reader of their own.
  std::unique_ptr<CallerCache> callers;
  // Open files and folders of the kernel's file handles, closed at unmount when the
  // kernel never released them.
  std::mutex handlesMutex;
  std::set<OpenHandle*> handles;
  // What the host may keep (see volume_mount.cpp). A notice raises the generation under
  // the exclusive lock; a reply that lets the host keep something is judged and sent
  // under the shared lock. Lock order: policyMutex, then the node table's.
  std::shared_mutex policyMutex;
  uint64_t policyGeneration = 0;
  // One notice at a time, from its generation to its last invalidation: a second notice
  // must not return while the first still has names to take back.
  std::mutex noticeMutex;
  PVOID policyRegistration = nullptr;
  std::atomic<uint64_t> requests{0};
};
using MountState = VolumeMount::State;

// A new handle of `node` enters the mount's set; Forget takes it out again (and closes its
// file once no borrower holds it).
OpenHandle* NewHandle(MountState& state, PFILE_OBJECT file, NodeId node);
void ForgetHandle(MountState& state, OpenHandle* handle);

// One of the handles the kernel holds open on a node, borrowed for a request that came
// without a file handle (fstat, fchmod of a file whose name went): it stays open until
// the borrower lets go, whatever release arrives meanwhile.
class HeldHandle {
 public:
  HeldHandle() = default;
  ~HeldHandle() { Reset(); }
  HeldHandle(const HeldHandle&) = delete;
  HeldHandle& operator=(const HeldHandle&) = delete;
  // Borrows a handle of `node`, preferring one open for writing when `writable`; null
  // when the node has none.
  OpenHandle* Borrow(MountState& state, NodeId node, bool writable = false);
  OpenHandle* get() const { return handle_; }
  void Reset();

 private:
  MountState* state_ = nullptr;
  OpenHandle* handle_ = nullptr;
};

inline MountState& StateOf(fuse_req_t req) { return *static_cast<MountState*>(fuse_req_userdata(req)); }
inline OpenHandle* HandleOf(const fuse_file_info* fi) {
  return fi ? reinterpret_cast<OpenHandle*>(static_cast<uintptr_t>(fi->fh)) : nullptr;
}

// Closes a file object at the end of a scope (in the process current then).
class OpenedFile {
 public:
  OpenedFile() = default;
  ~OpenedFile() {
    if (file_) kernel::CloseFile(file_);
  }
  OpenedFile(const OpenedFile&) = delete;
  OpenedFile& operator=(const OpenedFile&) = delete;
  PFILE_OBJECT* Out() { return &file_; }
  PFILE_OBJECT get() const { return file_; }
  PFILE_OBJECT Release() {
    PFILE_OBJECT file = file_;
    file_ = nullptr;
    return file;
  }
  // Closes the file now. Every request closes what it opened before it answers: the
  // caller's next request must not meet this open (an unlink would find the name still
  // open and leave it in place until the late close).
  void Close() {
    if (file_) kernel::CloseFile(Release());
  }

 private:
  PFILE_OBJECT file_ = nullptr;
};

// Names are opened as what they are: a symbolic link is opened itself, as its own node,
// and the host's kernel resolves it by naming the target again, through the mount and so
// through the filters. The file system below never follows one.
inline constexpr ULONG kOpenAsNamed = FILE_OPEN_REPARSE_POINT;

// Opens a path of the volume ("\dir\name") for the current process.
[[nodiscard]] NTSTATUS OpenPath(const MountState& state, const std::u16string& path, ACCESS_MASK access,
                                ULONG disposition, ULONG options, PFILE_OBJECT* file, ULONG_PTR* information = nullptr);
// The attributes of an open file as stat reports them.
[[nodiscard]] NTSTATUS StatOf(PFILE_OBJECT file, struct stat* st);
// A name of a request as a volume path component: UTF-8 that maps to UTF-16 and back
// unchanged, and no backslash (the volume's separator) in it.
[[nodiscard]] bool ComponentOf(const char* name, std::u16string* component);
// The path of a node and of one of its children; both reply ENOENT (or EINVAL for a bad
// name) and return false when there is none.
[[nodiscard]] bool NodePath(fuse_req_t req, fuse_ino_t node, std::u16string* path);
[[nodiscard]] bool ChildOf(fuse_req_t req, fuse_ino_t parent, const char* name, std::u16string* path);

void ReplyStatus(fuse_req_t req, NTSTATUS status);

// The policy generation, read by a request before it sends its IRP.
uint64_t GenerationNow(MountState& state);
// Whether the device stack told the opener what it tells every caller (no filter marked
// the file object as judged by caller).
inline bool SameForEveryCaller(PFILE_OBJECT file) { return file && !(file->Flags & FO_CALLER_DEPENDENT); }
// The judgement of one reply: the host may keep it when it is the same for every caller
// and no notice came since `generation` was read. Holds the shared policy lock until it
// ends, so the reply is sent (and its node marked) before any later notice takes the marks.
class CacheVerdict {
 public:
  CacheVerdict(MountState& state, uint64_t generation, bool sameForEveryCaller);
  double Timeout() const { return timeout_; }
  bool Cacheable() const { return timeout_ > 0; }

 private:
  std::shared_lock<std::shared_mutex> hold_;
  double timeout_ = 0;
};

// Replies with a fresh entry for `path`, whose attributes are those of `file`, cached by
// the host when CacheVerdict allows (see volume_mount.cpp for why this is sound).
void ReplyEntry(fuse_req_t req, const std::u16string& path, OpenedFile& file, uint64_t generation);
// Replies with attributes of `node`, cached by the host when CacheVerdict allows.
void ReplyAttributes(fuse_req_t req, fuse_ino_t node, const struct stat& st, uint64_t generation,
                     bool sameForEveryCaller);

// The lowlevel operations, by family.
void Lookup(fuse_req_t req, fuse_ino_t parent, const char* name);
void Forget(fuse_req_t req, fuse_ino_t node, uint64_t lookups);
void ForgetMulti(fuse_req_t req, size_t count, fuse_forget_data* forgets);
void GetAttr(fuse_req_t req, fuse_ino_t node, fuse_file_info* fi);
void SetAttr(fuse_req_t req, fuse_ino_t node, struct stat* attr, int toSet, fuse_file_info* fi);
void MakeDirectory(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode);
void Unlink(fuse_req_t req, fuse_ino_t parent, const char* name);
void RemoveDirectory(fuse_req_t req, fuse_ino_t parent, const char* name);
void Rename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newParent, const char* newName,
            unsigned int flags);
void StatFs(fuse_req_t req, fuse_ino_t node);
void Link(fuse_req_t req, fuse_ino_t node, fuse_ino_t newParent, const char* newName);
void SymbolicLink(fuse_req_t req, const char* text, fuse_ino_t parent, const char* name);
void ReadLink(fuse_req_t req, fuse_ino_t node);

void Create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, fuse_file_info* fi);
void Open(fuse_req_t req, fuse_ino_t node, fuse_file_info* fi);
void Read(fuse_req_t req, fuse_ino_t node, size_t size, off_t offset, fuse_file_info* fi);
void Write(fuse_req_t req, fuse_ino_t node, const char* buffer, size_t size, off_t offset, fuse_file_info* fi);
void Flush(fuse_req_t req, fuse_ino_t node, fuse_file_info* fi);
void Fsync(fuse_req_t req, fuse_ino_t node, int dataOnly, fuse_file_info* fi);
void Release(fuse_req_t req, fuse_ino_t node, fuse_file_info* fi);

void OpenDirectory(fuse_req_t req, fuse_ino_t node, fuse_file_info* fi);
void ReadDirectory(fuse_req_t req, fuse_ino_t node, size_t size, off_t offset, fuse_file_info* fi);
void ReleaseDirectory(fuse_req_t req, fuse_ino_t node, fuse_file_info* fi);

// Runs a handler body as the calling process; replies EACCES when the caller cannot be
// identified (a thread that has gone, a process whose executable cannot be read).
#define NB_AS_CALLER(req)                                                                    \
  MountState& state = StateOf(req);                                                          \
  state.requests.fetch_add(1, std::memory_order_relaxed);                                    \
  CallerScope caller(state.kernel, fuse_req_ctx(req)->pid, state.parameters.readIdentity, state.callers.get()); \
  if (!NT_SUCCESS(caller.Status())) return (void)fuse_reply_err(req, EACCES)

// The same for a request on an open file: one that comes with no caller (the kernel
// writing back or reading ahead for the file's mappings) runs as the file's opener.
#define NB_AS_OPENER(req, fi)                                                                    \
  MountState& state = StateOf(req);                                                              \
  const pid_t thread = fuse_req_ctx(req)->pid;                                                   \
  CallerScope caller = thread == 0 ? CallerScope(state.kernel, HandleOf(fi)->opener)             \
                                   : CallerScope(state.kernel, thread, state.parameters.readIdentity,   \
                                                 state.callers.get());                                 \
  if (!NT_SUCCESS(caller.Status())) return (void)fuse_reply_err(req, EACCES)

}  // namespace nb::fuse
