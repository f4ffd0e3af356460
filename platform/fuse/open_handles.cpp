// The open files and folders behind the kernel's file handles: made by open, create and
// opendir, closed by release, and lent by node to requests that come without a handle.
#include "mount_state.h"

#include "nb/kernel/process.h"

namespace nb::fuse {

namespace {

// Drops one reference; the last closes the file object as the System process (a release
// comes as no process) and frees the handle.
void Unreference(MountState& state, OpenHandle* handle) {
  if (handle->references.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  kernel::KernelScope scope(state.kernel);
  kernel::ProcessScope system(state.kernel.Processes().System());
  kernel::CloseFile(handle->file);
  delete handle;
}

}  // namespace

OpenHandle* NewHandle(MountState& state, PFILE_OBJECT file, NodeId node) {
  auto* handle = new OpenHandle;
  handle->file = file;
  handle->node = node;
  std::lock_guard lock(state.handlesMutex);
  state.handles.insert(handle);
  return handle;
}

void ForgetHandle(MountState& state, OpenHandle* handle) {
  {
    std::lock_guard lock(state.handlesMutex);
    if (!state.handles.erase(handle)) return;
  }
  Unreference(state, handle);
}

OpenHandle* HeldHandle::Borrow(MountState& state, NodeId node, bool writable) {
  Reset();
  std::lock_guard lock(state.handlesMutex);
  // Only handles still in the set: one that a release took out is on its way to closing.
  for (OpenHandle* handle : state.handles) {
    if (handle->node != node) continue;
    if (!handle_ || (writable && handle->file->WriteAccess && !handle_->file->WriteAccess)) handle_ = handle;
  }
  if (handle_) {
    handle_->references.fetch_add(1, std::memory_order_relaxed);
    state_ = &state;
  }
  return handle_;
}

void HeldHandle::Reset() {
  if (handle_) Unreference(*state_, handle_);
  handle_ = nullptr;
  state_ = nullptr;
}

}  // namespace nb::fuse
