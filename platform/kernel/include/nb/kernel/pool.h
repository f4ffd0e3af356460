// Kernel pool: zero-filled allocations, counted so tests can find leaks and inject failures.
#pragma once

#include <cstddef>
#include <mutex>
#include <unordered_map>

#include <ntifs.h>

namespace nb::kernel {

class PoolAllocator {
 public:
  ~PoolAllocator();

  void* Allocate(size_t bytes, ULONG tag);
  void Free(void* p);

  // Number of allocations not yet freed.
  size_t Outstanding() const;
  // The next `count` allocations succeed, the one after fails; -1 disables injection.
  void FailAfter(long count);

 private:
  mutable std::mutex mutex_;
  std::unordered_map<void*, ULONG> live_;
  long failAfter_ = -1;
};

}  // namespace nb::kernel
