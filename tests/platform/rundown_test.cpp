// Rundown protection: holders come and go until the owner runs the object down; the
// owner's wait ends only when the last holder has left, and nobody gets in afterwards.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <ntifs.h>

namespace {

TEST(RundownTest, AcquisitionsSucceedUntilTheRundownAndFailAfter) {
  EX_RUNDOWN_REF rundown;
  ExInitializeRundownProtection(&rundown);
  ASSERT_TRUE(ExAcquireRundownProtection(&rundown));
  ASSERT_TRUE(ExAcquireRundownProtection(&rundown));
  ExReleaseRundownProtection(&rundown);
  ExReleaseRundownProtection(&rundown);
  ExWaitForRundownProtectionRelease(&rundown);  // no holder: returns at once
  EXPECT_FALSE(ExAcquireRundownProtection(&rundown));
  ExWaitForRundownProtectionRelease(&rundown);  // a second wait is harmless
  EXPECT_FALSE(ExAcquireRundownProtection(&rundown));
}

TEST(RundownTest, ACompletedRundownStaysClosedUntilReinitialised) {
  EX_RUNDOWN_REF rundown;
  ExInitializeRundownProtection(&rundown);
  ExRundownCompleted(&rundown);
  EXPECT_FALSE(ExAcquireRundownProtection(&rundown));
  ExReInitializeRundownProtection(&rundown);
  ASSERT_TRUE(ExAcquireRundownProtection(&rundown));
  ExReleaseRundownProtection(&rundown);
}

TEST(RundownTest, TheWaitEndsOnlyWhenTheLastHolderLeaves) {
  EX_RUNDOWN_REF rundown;
  ExInitializeRundownProtection(&rundown);
  ASSERT_TRUE(ExAcquireRundownProtection(&rundown));
  ASSERT_TRUE(ExAcquireRundownProtection(&rundown));
  std::atomic<bool> waited{false};
  std::thread owner([&] {
    ExWaitForRundownProtectionRelease(&rundown);
    waited = true;
  });
  // Once the rundown has begun, newcomers are refused while the holders stay in.
  while (ExAcquireRundownProtection(&rundown)) ExReleaseRundownProtection(&rundown);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(waited);
  ExReleaseRundownProtection(&rundown);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(waited);
  ExReleaseRundownProtection(&rundown);
  owner.join();
  EXPECT_TRUE(waited);
}

// Many holders against one owner: after the wait nobody is inside and nobody enters.
TEST(RundownTest, NoHolderIsInsideAfterTheWaitUnderContention) {
  for (int round = 0; round < 200; ++round) {
    EX_RUNDOWN_REF rundown;
    ExInitializeRundownProtection(&rundown);
    std::atomic<int> inside{0};
    std::atomic<int> enteredAfterWait{0};
    std::atomic<bool> ranDown{false};
    std::vector<std::thread> holders;
    for (int t = 0; t < 4; ++t) {
      holders.emplace_back([&] {
        for (int i = 0; i < 200; ++i) {
          if (!ExAcquireRundownProtection(&rundown)) continue;
          ++inside;
          if (ranDown) ++enteredAfterWait;
          --inside;
          ExReleaseRundownProtection(&rundown);
        }
      });
    }
    ExWaitForRundownProtectionRelease(&rundown);
    ranDown = true;
    EXPECT_EQ(inside, 0);
    for (auto& holder : holders) holder.join();
    ASSERT_EQ(enteredAfterWait, 0) << "round " << round;
  }
}

}  // namespace
