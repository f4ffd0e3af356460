// The driver's message log by plain calls.
#include <regex>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "driver_test_support.h"
#include "identity.h"
#include "nb/kernel/kernel.h"
#include "nb/kernel/pool.h"
#include "nb/kernel/process.h"

namespace {

using nbfs_test::DrainLog;
using ::testing::ElementsAre;

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(LogInitialize(), STATUS_SUCCESS);
    FindProcessNameOffset();  // runs in the System process, as at load
  }
  void TearDown() override {
    LogShutdown();
    ForgetProcessNameOffset();
    EXPECT_EQ(kernel_.Pool().Outstanding(), 0u);
  }
  nb::kernel::Kernel kernel_;
};

TEST_F(LogTest, MessagesVanishUntilStarted) {
  nbfsLog(LOG_NOTICE, "lost\n");
  NBFS_LOG_RECORD record;
  EXPECT_EQ(LogRead(&record), STATUS_UNSUCCESSFUL);
  ULONG records = 1, used = 1;
  EXPECT_EQ(LogCheck(&records, &used), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(records, 0u);
  EXPECT_EQ(used, 0u);
}

TEST_F(LogTest, FullLogDropsNewMessagesAndReadsOldestFirst) {
  ASSERT_EQ(LogStart(2), STATUS_SUCCESS);
  nbfsLog(LOG_NOTICE, "first %d\n", 1);
  nbfsLog(LOG_ERROR, "second %c:%ws\n", 'C', u"\\Data");
  nbfsLog(LOG_NOTICE, "third\n");
  ULONG total, used;
  LogCounts(&total, &used);
  EXPECT_EQ(total, 2u);
  EXPECT_EQ(used, 2u);
  ULONG records;
  EXPECT_EQ(LogCheck(&records, &used), STATUS_SUCCESS);
  EXPECT_THAT(DrainLog(), ElementsAre("first 1\n", "second C:\\Data\n"));
  LogCounts(&total, &used);
  EXPECT_EQ(used, 0u);
  // Freed records take new messages again.
  nbfsLog(LOG_NOTICE, "fourth\n");
  EXPECT_THAT(DrainLog(), ElementsAre("fourth\n"));
}

TEST_F(LogTest, LinesCarryTimeLevelAndCaller) {
  ASSERT_EQ(LogStart(8), STATUS_SUCCESS);
  PEPROCESS app = kernel_.Processes().Get(1234, "notepad.exe");
  {
    nb::kernel::ProcessScope scope(app);
    nbfsLog(LOG_NOTICE, "n\n");
    nbfsLog(LOG_WARN, "w\n");
    nbfsLog(LOG_ERROR, "e\n");
    nbfsLog(LOG_PANIC, "p\n");
    nbfsLog(3, "unknown level\n");
  }
  nbfsLog(LOG_NOTICE, "from system\n");
  const char* expected[] = {"NOTICE:\\[notepad.exe\\(1234\\)\\]: n\n", "WARN:\\[notepad.exe\\(1234\\)\\]: w\n",
                            "ERROR:\\[notepad.exe\\(1234\\)\\]: e\n", "PANIC:\\[notepad.exe\\(1234\\)\\]: p\n"};
  NBFS_LOG_RECORD record;
  for (const char* tail : expected) {
    ASSERT_EQ(LogRead(&record), STATUS_SUCCESS);
    EXPECT_TRUE(std::regex_match(record.text, std::regex(std::string("\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d     ") + tail)))
        << record.text;
  }
  ASSERT_EQ(LogRead(&record), STATUS_SUCCESS);
  EXPECT_STREQ(record.text, "");  // an unknown level leaves the text empty
  ASSERT_EQ(LogRead(&record), STATUS_SUCCESS);
  EXPECT_NE(std::string(record.text).find("NOTICE:[System(4)]: from system\n"), std::string::npos);
}

TEST_F(LogTest, MessagesOf512CharactersOrMoreAreDropped) {
  ASSERT_EQ(LogStart(4), STATUS_SUCCESS);
  nbfsLog(LOG_NOTICE, "%s", std::string(512, 'x').c_str());
  nbfsLog(LOG_NOTICE, "%s", std::string(511, 'y').c_str());
  EXPECT_THAT(DrainLog(), ElementsAre(std::string(511, 'y')));
}

TEST_F(LogTest, StartOnlyWhileStoppedAndBounded) {
  ASSERT_EQ(LogStart(3), STATUS_SUCCESS);
  nbfsLog(LOG_NOTICE, "kept\n");
  EXPECT_EQ(LogStart(5), STATUS_UNSUCCESSFUL);
  ULONG total, used;
  LogCounts(&total, &used);
  EXPECT_EQ(total, 3u);
  EXPECT_EQ(used, 1u);
  LogStop();
  LogCounts(&total, &used);
  EXPECT_EQ(total, 0u);
  EXPECT_EQ(LogStart(NBFS_LOG_MAX_RECORDS + 1), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(LogStart(5), STATUS_SUCCESS);
}

TEST_F(LogTest, AllocationFailureDuringStartStopsTheLog) {
  kernel_.Pool().FailAfter(2);
  EXPECT_EQ(LogStart(5), STATUS_UNSUCCESSFUL);
  ULONG total = 9, used = 9;
  LogCounts(&total, &used);
  EXPECT_EQ(total, 0u);
  nbfsLog(LOG_NOTICE, "dropped\n");
  NBFS_LOG_RECORD record;
  EXPECT_EQ(LogRead(&record), STATUS_UNSUCCESSFUL);
}

TEST_F(LogTest, UnknownNameOffsetLeavesCallerEmpty) {
  ForgetProcessNameOffset();
  ASSERT_EQ(LogStart(1), STATUS_SUCCESS);
  nbfsLog(LOG_NOTICE, "anonymous\n");
  NBFS_LOG_RECORD record;
  ASSERT_EQ(LogRead(&record), STATUS_SUCCESS);
  EXPECT_NE(std::string(record.text).find("NOTICE:[(0)]: anonymous\n"), std::string::npos);
}

}  // namespace
