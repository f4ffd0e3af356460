// The FUSE front end of one volume: a libfuse3 file system at a mount point whose every
// request goes as IRPs to the top of the volume's device stack, in the identity of the
// process that made it, so the filters on the stack judge real Linux processes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <ntifs.h>

#include "nb/kernel/kernel.h"
#include "nb/server/socket_server.h"

namespace nb::fuse {

struct MountParameters {
  // The volume's object name: "\DosDevices\X:" or a device name such as
  // "\Device\HarddiskVolume1".
  std::u16string volume;
  // An existing folder. It may be the volume's own backing folder (an overmount): the
  // volume reaches its backing through the descriptor it opened when it was added, and
  // afterwards every process on the system goes through the device stack.
  std::string mountPoint;
  // Threads serving requests at most (the session grows up to this many).
  unsigned maxThreads = 16;
  // Who a process is; tests may play identities.
  server::IdentityReader readIdentity = server::ReadProcessIdentity;
  // How long the host may keep a name or attributes that every caller is told alike
  // (see volume_mount.cpp); 0 keeps nothing.
  double cacheSeconds = 1.0;
  // Test hook: runs in a request that replies with a name, after the device stack has
  // answered and before the reply is judged and sent.
  std::function<void(const std::u16string& path)> beforeEntryReply;
};

class VolumeMount {
 public:
  // Serves the volume of `kernel`, which must outlive the mount.
  explicit VolumeMount(kernel::Kernel& kernel);
  // Unmounts.
  ~VolumeMount();
  VolumeMount(const VolumeMount&) = delete;
  VolumeMount& operator=(const VolumeMount&) = delete;

  // Mounts and starts serving. A mount left at the point by a host that ended without
  // unmounting (it answers ENOTCONN) is removed first. STATUS_OBJECT_PATH_NOT_FOUND when the
  // mount point is not a folder, STATUS_NO_SUCH_DEVICE when the volume cannot be opened,
  // STATUS_DEVICE_NOT_READY when FUSE is not available, STATUS_OBJECT_NAME_COLLISION when
  // this instance is mounted already.
  [[nodiscard]] NTSTATUS Mount(const MountParameters& parameters);
  // Unmounts (lazily: processes inside the mount keep what they hold until they let go,
  // and their requests fail) and stops the session's threads. Idempotent.
  void Unmount();
  bool Mounted() const;
  const std::string& MountPoint() const;
  // Requests served in a caller's identity so far, and the number of policy notices the
  // mount has met (for tests and diagnostics); 0 when not mounted.
  uint64_t Requests() const;
  uint64_t PolicyGeneration() const;

  struct State;

 private:
  void UnregisterPolicy(State& state);

  kernel::Kernel& kernel_;
  std::unique_ptr<State> state_;
};

// Whether `path` is a FUSE mount whose server has gone (its requests fail with ENOTCONN).
bool IsStaleMount(const std::string& path);
// Detaches a stale mount at `path`; true when there was one and it went.
bool ClearStaleMount(const std::string& path);

}  // namespace nb::fuse
