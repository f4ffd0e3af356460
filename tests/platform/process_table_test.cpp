// Process objects shared by several holders: one holder letting go never frees the object
// under another.
#include <gtest/gtest.h>

#include "nb/kernel/kernel.h"
#include "nb/kernel/process.h"

namespace nb::kernel {
namespace {

TEST(ProcessTableTest, TheLastHolderTakesTheProcessAndPermanentOnesStay) {
  Kernel kernel;
  ProcessTable& table = kernel.Processes();

  PEPROCESS first = table.Acquire(700, "peer.exe");
  EXPECT_EQ(table.Acquire(700, "peer.exe"), first);  // a second server serving it too
  EXPECT_FALSE(table.Release(700));
  EXPECT_EQ(table.Find(700), first);
  EXPECT_EQ(ProcessTable::IdOf(first), 700u);
  EXPECT_TRUE(table.Release(700));
  EXPECT_EQ(table.Find(700), nullptr);
  EXPECT_FALSE(table.Release(700));  // nothing left to release

  PEPROCESS fixture = table.Get(701, "test.exe");  // made permanent by Get
  EXPECT_EQ(table.Acquire(701, "test.exe"), fixture);
  EXPECT_FALSE(table.Release(701));
  EXPECT_EQ(table.Find(701), fixture);

  table.Acquire(kSystemProcessId, "System");
  EXPECT_FALSE(table.Release(kSystemProcessId));
  EXPECT_EQ(table.Find(kSystemProcessId), table.System());
}

}  // namespace
}  // namespace nb::kernel
