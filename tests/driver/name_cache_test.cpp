// The file-object name cache by plain calls.
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "driver_test_support.h"
#include "name_cache.h"
#include "nb/kernel/kernel.h"
#include "nb/kernel/pool.h"

namespace {

class NameCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(LogInitialize(), STATUS_SUCCESS);
    ASSERT_EQ(LogStart(8), STATUS_SUCCESS);
    ASSERT_EQ(NameCacheInitialize(), STATUS_SUCCESS);
  }
  void TearDown() override {
    NameCacheShutdown();
    LogShutdown();
    EXPECT_EQ(kernel_.Pool().Outstanding(), 0u);
  }
  NTSTATUS Record(FILE_OBJECT& file, const std::u16string& name) {
    return NameCacheRecord(&file, name.c_str(), static_cast<ULONG>(name.size() * sizeof(char16_t)));
  }
  static std::u16string Lookup(FILE_OBJECT& file) {
    CachedName name(&file);
    return name.Found() ? std::u16string(name.Name(), name.Length() / sizeof(char16_t)) : u"<none>";
  }

  nb::kernel::Kernel kernel_;
};

TEST_F(NameCacheTest, RecordReplacesAndForgetRemoves) {
  // File objects that share a bucket (addresses 128 * 4 bytes apart) stay apart.
  std::vector<FILE_OBJECT> files(300);
  FILE_OBJECT& a = files[0];
  FILE_OBJECT& sameBucket = *reinterpret_cast<FILE_OBJECT*>(reinterpret_cast<char*>(&files[0]) + 512 * 4);
  ASSERT_EQ(Record(a, u"\\P\\first"), STATUS_SUCCESS);
  ASSERT_EQ(Record(sameBucket, u"\\Other"), STATUS_SUCCESS);
  ASSERT_EQ(Record(a, u"\\P\\second"), STATUS_SUCCESS);
  EXPECT_EQ(NameCacheCount(), 2u);
  EXPECT_EQ(Lookup(a), u"\\P\\second");
  EXPECT_EQ(Lookup(sameBucket), u"\\Other");

  EXPECT_EQ(NameCacheForget(&a), STATUS_SUCCESS);
  EXPECT_EQ(NameCacheCount(), 1u);
  EXPECT_EQ(Lookup(a), u"<none>");
  EXPECT_EQ(NameCacheForget(&a), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(Lookup(sameBucket), u"\\Other");
}

TEST_F(NameCacheTest, LongNamesAreCopiedWhole) {
  FILE_OBJECT file{};
  std::u16string longName = u"\\" + std::u16string(3000, u'n');
  ASSERT_EQ(Record(file, longName), STATUS_SUCCESS);
  EXPECT_EQ(Lookup(file), longName);
}

TEST_F(NameCacheTest, AllocationFailureIsLoggedAndKeepsTheOldRecord) {
  FILE_OBJECT file{};
  ASSERT_EQ(Record(file, u"\\Kept"), STATUS_SUCCESS);
  kernel_.Pool().FailAfter(0);
  EXPECT_EQ(Record(file, u"\\New"), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(nbfs_test::DrainLog(), std::vector<std::string>{"cannot alloc hash buffer\n"});
  EXPECT_EQ(Lookup(file), u"\\Kept");
}

TEST_F(NameCacheTest, ConcurrentRecordLookupAndForget) {
  std::vector<FILE_OBJECT> files(64);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 500; ++round) {
        FILE_OBJECT& file = files[(t * 16 + round) % files.size()];
        (void)NameCacheRecord(&file, u"\\dir\\file", 18);
        CachedName name(&file);
        if (name.Found()) {
          EXPECT_EQ(name.Length(), 18u);
        }
        (void)NameCacheForget(&file);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(NameCacheCount(), 0u);
}

}  // namespace
