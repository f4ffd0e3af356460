// Executive resources: recursion as on Windows, exclusion between threads.
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "nb/kernel/kernel.h"
#include "nb/resource_guard.h"

namespace {

class ResourceTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(ExInitializeResourceLite(&resource_), STATUS_SUCCESS); }
  void TearDown() override { ExDeleteResourceLite(&resource_); }

  nb::kernel::Kernel kernel_;
  ERESOURCE resource_;
};

TEST_F(ResourceTest, OwnerMayAcquireAgainSharedOrExclusive) {
  nb::ExclusiveLock outer(resource_);
  {
    nb::SharedLock inner(resource_);
    nb::ExclusiveLock again(resource_);
    EXPECT_TRUE(ExIsResourceAcquiredExclusiveLite(&resource_));
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&resource_), 3u);
  }
  EXPECT_EQ(ExIsResourceAcquiredSharedLite(&resource_), 1u);
}

TEST_F(ResourceTest, NoWaitFailsWhileAnotherThreadHoldsIt) {
  nb::SharedLock held(resource_);
  std::thread other([&] {
    KeEnterCriticalRegion();
    EXPECT_FALSE(ExAcquireResourceExclusiveLite(&resource_, FALSE));
    EXPECT_TRUE(ExAcquireResourceSharedLite(&resource_, FALSE));
    ExReleaseResourceLite(&resource_);
    KeLeaveCriticalRegion();
  });
  other.join();
}

TEST_F(ResourceTest, ExclusiveOwnersExcludeEachOther) {
  int counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        nb::ExclusiveLock guard(resource_);
        int seen = counter;
        counter = seen + 1;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, 8000);
}

}  // namespace
