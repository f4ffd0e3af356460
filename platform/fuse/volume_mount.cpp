// The FUSE session of one volume: mount, the multithreaded request loop, unmount, and the
// notices that take back what the host's kernel was let keep.
//
// The kernel's caches are shared by every process, while what the device stack answers
// depends on who asks for the paths a lock governs (a hidden folder exists for a trusted
// process only, a lock may come or go at any moment). Most paths are governed by no lock,
// and there every caller is told the same. So:
//  * a filter that judges a path by its caller marks the file object of that path's
//    create (FO_CALLER_DEPENDENT). A name or attributes replied from a marked open have
//    timeouts of 0, so every path walk and stat of them comes back as a lookup or getattr
//    in the walker's own identity. Unmarked ones are replied with the mount's cache time
//    (1 s) from lookup, create, mkdir, symlink, link and a getattr by name, and the node
//    is marked in the node table as kept by the host (its name under its parent, and its
//    attributes). A getattr through an open file is never kept: its mark is as old as
//    the open.
//  * a name that is not there is an error reply, never a negative entry;
//  * readdirplus is off (it would enter names the listing of another caller hides), and
//    listings are never cached (cache_readdir off);
//  * files go through the page cache, so that they can be mapped shared, but the cache
//    is dropped at every open and when the file's times or size change, and writes go
//    through at once (see file_ops.cpp).
// When the set of governed paths changes (a lock added or deleted, a drive registered or
// withdrawn), the filter raises the volume's policy notice once it holds none of its own
// locks, and PolicyChanged below runs in the notifier's thread: it raises the mount's
// policy generation under the exclusive policy lock and takes every mark, then, with no
// lock of its own held, invalidates each kept name (deepest first; the kernel finds a
// directory's entry even once unhashed) and each node's attributes. The lock call returns
// only after that, so the very next path walk, stat, listing or open of any process,
// also one relative to a working folder inside the volume, asks the device stack again.
// A request reads the generation before it sends its IRP, and judges and sends a kept
// reply under the shared policy lock only when the generation is still the same: an
// answer given before a change and sent after it is sent with timeouts of 0, and an
// answer sent before the notice took the marks is among them. The kernel orders the rest:
// a lookup, create or link holds its parent's lock until its entry is in place, which the
// invalidation of an entry takes; a revalidation that lands after its entry was
// invalidated updates an entry already unhashed; attributes replied across an
// invalidation are dropped by the kernel's attribute version. Notices of one mount run
// one at a time, so none returns while an earlier one still has names to take back.
// Removing a lock never needs the notice for soundness (nothing governed was kept), but
// it is sent all the same. Unmount unregisters the callback first, which waits for a
// notice under way, while the loop still serves the requests that notice may wait for.
#include "mount_state.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "nb/kernel/process.h"
#include "nb/text.h"

namespace nb::fuse {

namespace {

constexpr const char* kConnections = "/sys/fs/fuse/connections";
constexpr unsigned kMaxWrite = 1024 * 1024;

void Init(void*, fuse_conn_info* connection) {
  connection->want &= ~(FUSE_CAP_READDIRPLUS | FUSE_CAP_READDIRPLUS_AUTO | FUSE_CAP_WRITEBACK_CACHE |
                        FUSE_CAP_CACHE_SYMLINKS | FUSE_CAP_EXPORT_SUPPORT);
  if (connection->capable & FUSE_CAP_ATOMIC_O_TRUNC) connection->want |= FUSE_CAP_ATOMIC_O_TRUNC;
  if (connection->capable & FUSE_CAP_AUTO_INVAL_DATA) connection->want |= FUSE_CAP_AUTO_INVAL_DATA;
  connection->max_write = kMaxWrite;
}

fuse_lowlevel_ops Operations() {
  fuse_lowlevel_ops ops{};
  ops.init = Init;
  ops.lookup = Lookup;
  ops.forget = Forget;
  ops.forget_multi = ForgetMulti;
  ops.getattr = GetAttr;
  ops.setattr = SetAttr;
  ops.mkdir = MakeDirectory;
  ops.unlink = Unlink;
  ops.rmdir = RemoveDirectory;
  ops.rename = Rename;
  ops.statfs = StatFs;
  ops.link = Link;
  ops.symlink = SymbolicLink;
  ops.readlink = ReadLink;
  ops.create = Create;
  ops.open = Open;
  ops.read = Read;
  ops.write = Write;
  ops.flush = Flush;
  ops.fsync = Fsync;
  ops.release = Release;
  ops.opendir = OpenDirectory;
  ops.readdir = ReadDirectory;
  ops.releasedir = ReleaseDirectory;
  return ops;
}

// Ends a connection at once: its requests fail with ENOTCONN and the session's reads
// return, even while the detached mount is still held by processes inside it. The
// control file system is mounted when it is missing.
void AbortConnection(dev_t connection) {
  std::string abort = std::string(kConnections) + "/" + std::to_string(minor(connection)) + "/abort";
  int fd = open(abort.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    (void)mount("fusectl", kConnections, "fusectl", 0, nullptr);
    fd = open(abort.c_str(), O_WRONLY | O_CLOEXEC);
  }
  if (fd < 0) return;
  (void)!write(fd, "1", 1);
  close(fd);
}

// The volume's policy notice: see the header comment.
VOID PolicyChanged(PDEVICE_OBJECT, PVOID context) {
  auto& state = *static_cast<MountState*>(context);
  std::lock_guard one(state.noticeMutex);
  NodeTable::CachedAnswers kept;
  {
    std::unique_lock hold(state.policyMutex);
    ++state.policyGeneration;
    kept = state.nodes.TakeCached();
  }
  for (const auto& entry : kept.entries) {
    const std::string name = nb::text::Utf16ToUtf8(entry.second);
    (void)fuse_lowlevel_notify_inval_entry(state.session, entry.first, name.c_str(), name.size());
  }
  for (NodeId node : kept.attributes) (void)fuse_lowlevel_notify_inval_inode(state.session, node, -1, 0);
}

}  // namespace

void VolumeMount::UnregisterPolicy(State& state) {
  if (!state.policyRegistration) return;
  kernel::KernelScope scope(kernel_);
  IoUnregisterVolumePolicyCallback(state.policyRegistration);
  state.policyRegistration = nullptr;
}

VolumeMount::VolumeMount(kernel::Kernel& kernel) : kernel_(kernel) {}

VolumeMount::~VolumeMount() { Unmount(); }

bool VolumeMount::Mounted() const { return state_ && state_->mounted; }

uint64_t VolumeMount::Requests() const { return state_ ? state_->requests.load() : 0; }

uint64_t VolumeMount::PolicyGeneration() const {
  if (!state_) return 0;
  std::shared_lock hold(state_->policyMutex);
  return state_->policyGeneration;
}

const std::string& VolumeMount::MountPoint() const {
  static const std::string none;
  return state_ ? state_->parameters.mountPoint : none;
}

NTSTATUS VolumeMount::Mount(const MountParameters& parameters) {
  if (state_) return STATUS_OBJECT_NAME_COLLISION;
  (void)ClearStaleMount(parameters.mountPoint);
  struct stat point {};
  if (stat(parameters.mountPoint.c_str(), &point) != 0 || !S_ISDIR(point.st_mode))
    return STATUS_OBJECT_PATH_NOT_FOUND;
  if (access("/dev/fuse", R_OK | W_OK) != 0) return STATUS_DEVICE_NOT_READY;

  auto state = std::make_unique<State>(kernel_);
  state->parameters = parameters;
  // The system's reader reads /proc, which the cache watches; a reader of a test's own
  // plays identities the cache could not tell apart, and is asked every time.
  using Reader = NTSTATUS (*)(pid_t, server::ProcessIdentity*);
  const Reader* reader = parameters.readIdentity.target<Reader>();
  if (reader && *reader == &server::ReadProcessIdentity) state->callers = std::make_unique<CallerCache>();
  PDEVICE_OBJECT volumeDevice;
  {
    // The volume must answer before anyone is sent to it.
    kernel::KernelScope scope(kernel_);
    kernel::ProcessScope system(kernel_.Processes().System());
    OpenedFile root;
    if (!NT_SUCCESS(OpenPath(*state, u"\\", FILE_READ_ATTRIBUTES, FILE_OPEN, FILE_DIRECTORY_FILE, root.Out())))
      return STATUS_NO_SUCH_DEVICE;
    volumeDevice = IoGetRelatedDeviceObject(root.get());
  }

  // allow_other: every user's processes reach the volume, and meet its filters.
  // default_permissions: the kernel checks the POSIX modes the volume reports, since the
  // volume's own file system acts with the host's rights.
  const char* argv[] = {"nbhost", "-o", "allow_other,default_permissions,fsname=nimbra,subtype=nimbra"};
  fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
  fuse_lowlevel_ops ops = Operations();
  state->session = fuse_session_new(&args, &ops, sizeof ops, state.get());
  fuse_opt_free_args(&args);
  if (!state->session) return STATUS_INSUFFICIENT_RESOURCES;
  // Notices are heard before the first request is served, so none can pass unheard
  // between a kept reply and the registration.
  NTSTATUS registered;
  {
    kernel::KernelScope scope(kernel_);
    registered = IoRegisterVolumePolicyCallback(volumeDevice, PolicyChanged, state.get(), &state->policyRegistration);
  }
  if (!NT_SUCCESS(registered) || fuse_session_mount(state->session, parameters.mountPoint.c_str()) != 0) {
    UnregisterPolicy(*state);
    fuse_session_destroy(state->session);
    return NT_SUCCESS(registered) ? STATUS_DEVICE_NOT_READY : registered;
  }
  State* running = state.get();
  running->loop = std::thread([running] {
    fuse_loop_config* config = fuse_loop_cfg_create();
    fuse_loop_cfg_set_max_threads(config, running->parameters.maxThreads);
    fuse_loop_cfg_set_clone_fd(config, 1);
    (void)fuse_session_loop_mt(running->session, config);
    fuse_loop_cfg_destroy(config);
  });
  // The mount's device number names its connection (for an abort at unmount). stat
  // answers from the kernel's root inode only after INIT, which the loop serves.
  struct stat mounted {};
  const bool answers = stat(parameters.mountPoint.c_str(), &mounted) == 0;
  running->connection = answers ? mounted.st_dev : 0;
  running->mounted = true;
  state_ = std::move(state);
  if (!answers) {
    Unmount();
    return STATUS_DEVICE_NOT_READY;
  }
  return STATUS_SUCCESS;
}

void VolumeMount::Unmount() {
  if (!state_) return;
  State& state = *state_;
  state.mounted = false;
  // Waits for a notice under way, which may wait for requests the loop still serves.
  UnregisterPolicy(state);
  // A connection that has ended already (aborted, as when a host dies) has given up its
  // number, which a newer mount may now carry: only a live one is aborted here.
  pollfd device{fuse_session_fd(state.session), 0, 0};
  const bool alive = !(poll(&device, 1, 0) == 1 && (device.revents & POLLERR));
  fuse_session_exit(state.session);
  // Detach first (no new process enters), then end the connection so that processes
  // still inside get ENOTCONN and the loop's threads return.
  fuse_session_unmount(state.session);
  if (alive && state.connection) AbortConnection(state.connection);
  // A dead connection's mount is left to stand by libfuse; take it away unless a newer
  // mount has taken its place.
  if (!alive) (void)ClearStaleMount(state.parameters.mountPoint);
  if (state.loop.joinable()) state.loop.join();
  fuse_session_destroy(state.session);
  std::set<OpenHandle*> left;
  {
    std::lock_guard lock(state.handlesMutex);
    left = state.handles;
  }
  for (OpenHandle* handle : left) ForgetHandle(state, handle);
  state_.reset();
}

}  // namespace nb::fuse
