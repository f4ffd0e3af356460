// Kernel pool allocation over the C heap.
#include "nb/kernel/pool.h"

#include <cassert>
#include <cstdlib>

#include "nb/kernel/kernel.h"

namespace nb::kernel {

PoolAllocator::~PoolAllocator() {
  for (auto& [p, tag] : live_) std::free(p);
}

void* PoolAllocator::Allocate(size_t bytes, ULONG tag) {
  std::lock_guard lock(mutex_);
  if (failAfter_ == 0) {
    failAfter_ = -1;
    return nullptr;
  }
  if (failAfter_ > 0) --failAfter_;
  void* p = std::calloc(1, bytes == 0 ? 1 : bytes);
  if (p) live_.emplace(p, tag);
  return p;
}

void PoolAllocator::Free(void* p) {
  if (!p) return;
  std::lock_guard lock(mutex_);
  [[maybe_unused]] size_t erased = live_.erase(p);
  assert(erased == 1 && "freeing memory that is not pool memory");
  std::free(p);
}

size_t PoolAllocator::Outstanding() const {
  std::lock_guard lock(mutex_);
  return live_.size();
}

void PoolAllocator::FailAfter(long count) {
  std::lock_guard lock(mutex_);
  failAfter_ = count;
}

}  // namespace nb::kernel

PVOID ExAllocatePoolWithTag(POOL_TYPE, SIZE_T numberOfBytes, ULONG tag) {
  return nb::kernel::CurrentKernel().Pool().Allocate(numberOfBytes, tag);
}

PVOID ExAllocatePool(POOL_TYPE poolType, SIZE_T numberOfBytes) {
  return ExAllocatePoolWithTag(poolType, numberOfBytes, 0);
}

VOID ExFreePool(PVOID p) { nb::kernel::CurrentKernel().Pool().Free(p); }

VOID ExFreePoolWithTag(PVOID p, ULONG) { ExFreePool(p); }
