// Executive resources: recursive reader/writer locks, and critical regions.
#include <cassert>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>

#include <ntifs.h>

namespace nb::kernel {

class Resource {
 public:
  bool AcquireShared(bool wait) {
    std::unique_lock lock(mutex_);
    auto self = std::this_thread::get_id();
    // The exclusive owner and threads already sharing it get it again at once.
    if (exclusiveOwner_ == self) {
      ++exclusiveCount_;
      return true;
    }
    if (auto it = shared_.find(self); it != shared_.end()) {
      ++it->second;
      return true;
    }
    if (!wait && (exclusiveCount_ > 0 || exclusiveWaiters_ > 0)) return false;
    changed_.wait(lock, [&] { return exclusiveCount_ == 0 && exclusiveWaiters_ == 0; });
    ++shared_[self];
    return true;
  }

  bool AcquireExclusive(bool wait) {
    std::unique_lock lock(mutex_);
    auto self = std::this_thread::get_id();
    if (exclusiveOwner_ == self) {
      ++exclusiveCount_;
      return true;
    }
    assert(shared_.find(self) == shared_.end() && "exclusive acquire while holding the resource shared");
    auto free = [&] { return exclusiveCount_ == 0 && shared_.empty(); };
    if (!wait && !free()) return false;
    ++exclusiveWaiters_;
    changed_.wait(lock, free);
    --exclusiveWaiters_;
    exclusiveOwner_ = self;
    exclusiveCount_ = 1;
    return true;
  }

  void Release() {
    std::lock_guard lock(mutex_);
    auto self = std::this_thread::get_id();
    if (exclusiveOwner_ == self) {
      if (--exclusiveCount_ == 0) {
        exclusiveOwner_ = std::thread::id();
        changed_.notify_all();
      }
      return;
    }
    auto it = shared_.find(self);
    assert(it != shared_.end() && "releasing a resource the thread does not own");
    if (it == shared_.end()) return;
    if (--it->second == 0) {
      shared_.erase(it);
      if (shared_.empty()) changed_.notify_all();
    }
  }

  bool OwnedExclusive() {
    std::lock_guard lock(mutex_);
    return exclusiveOwner_ == std::this_thread::get_id();
  }

  unsigned long OwnedCount() {
    std::lock_guard lock(mutex_);
    auto self = std::this_thread::get_id();
    if (exclusiveOwner_ == self) return exclusiveCount_;
    auto it = shared_.find(self);
    return it == shared_.end() ? 0 : it->second;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::thread::id exclusiveOwner_;
  unsigned long exclusiveCount_ = 0;
  unsigned long exclusiveWaiters_ = 0;
  std::unordered_map<std::thread::id, unsigned long> shared_;
};

namespace {
thread_local int criticalRegionDepth = 0;
}

}  // namespace nb::kernel

using nb::kernel::Resource;

NTSTATUS ExInitializeResourceLite(PERESOURCE resource) {
  resource->Impl = new (std::nothrow) Resource();
  return resource->Impl ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS ExDeleteResourceLite(PERESOURCE resource) {
  delete resource->Impl;
  resource->Impl = nullptr;
  return STATUS_SUCCESS;
}

BOOLEAN ExAcquireResourceSharedLite(PERESOURCE resource, BOOLEAN wait) {
  assert(nb::kernel::criticalRegionDepth > 0 && "resources are taken inside a critical region");
  assert(KeGetCurrentIrql() <= APC_LEVEL && "resources cannot be waited on at DISPATCH_LEVEL");
  return resource->Impl->AcquireShared(wait) ? TRUE : FALSE;
}

BOOLEAN ExAcquireResourceExclusiveLite(PERESOURCE resource, BOOLEAN wait) {
  assert(nb::kernel::criticalRegionDepth > 0 && "resources are taken inside a critical region");
  assert(KeGetCurrentIrql() <= APC_LEVEL && "resources cannot be waited on at DISPATCH_LEVEL");
  return resource->Impl->AcquireExclusive(wait) ? TRUE : FALSE;
}

VOID ExReleaseResourceLite(PERESOURCE resource) { resource->Impl->Release(); }

BOOLEAN ExIsResourceAcquiredExclusiveLite(PERESOURCE resource) {
  return resource->Impl->OwnedExclusive() ? TRUE : FALSE;
}

ULONG ExIsResourceAcquiredSharedLite(PERESOURCE resource) {
  return static_cast<ULONG>(resource->Impl->OwnedCount());
}

VOID KeEnterCriticalRegion() { ++nb::kernel::criticalRegionDepth; }

VOID KeLeaveCriticalRegion() {
  assert(nb::kernel::criticalRegionDepth > 0);
  --nb::kernel::criticalRegionDepth;
}

BOOLEAN KeAreApcsDisabled() { return nb::kernel::criticalRegionDepth > 0 ? TRUE : FALSE; }
