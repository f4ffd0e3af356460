// Scoped ownership of an ERESOURCE inside a critical region.
#pragma once

#include "nt/ex.h"

namespace nb {

class SharedLock {
 public:
  explicit SharedLock(ERESOURCE& resource) : resource_(resource) {
    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(&resource_, TRUE);
  }
  ~SharedLock() {
    ExReleaseResourceLite(&resource_);
    KeLeaveCriticalRegion();
  }
  SharedLock(const SharedLock&) = delete;
  SharedLock& operator=(const SharedLock&) = delete;

 private:
  ERESOURCE& resource_;
};

class ExclusiveLock {
 public:
  explicit ExclusiveLock(ERESOURCE& resource) : resource_(resource) {
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&resource_, TRUE);
  }
  ~ExclusiveLock() {
    ExReleaseResourceLite(&resource_);
    KeLeaveCriticalRegion();
  }
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;

 private:
  ERESOURCE& resource_;
};

}  // namespace nb
