// Hidden folders in directory listings of a filtered host volume.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "filtered_volume.h"

namespace nbfs_test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;

constexpr FILE_INFORMATION_CLASS kClasses[] = {FileDirectoryInformation,       FileFullDirectoryInformation,
                                               FileBothDirectoryInformation,   FileNamesInformation,
                                               FileIdBothDirectoryInformation, FileIdFullDirectoryInformation};

class ListingTest : public FilteredVolumeTest {
 protected:
  void SetUp() override {
    FilteredVolumeTest::SetUp();
    for (auto path : {"P/A/a", "P/H/h", "P/R/r", "P/X/H/deep", "L/A/a", "L/H/h"}) WriteHost(path, "");
    ASSERT_EQ(Lock(u"\\P\\H", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
    ASSERT_EQ(Lock(u"\\P\\R", NBFS_LOCK_READONLY), STATUS_SUCCESS);
    ASSERT_EQ(Lock(u"\\P\\X\\H", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
    ASSERT_EQ(Lock(u"\\L\\H", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  }
};

TEST_F(ListingTest, HiddenFolderLeavesEveryClassOfListing) {
  for (auto cls : kClasses) {
    EXPECT_THAT(List(app, u"\\P", cls), ElementsAre(u".", u"..", u"A", u"R", u"X")) << cls;
  }
  // Hiding applies to trusted processes too.
  ASSERT_EQ(Trust(u"\\P\\H", writer, NBFS_PERMISSION_FULL), STATUS_SUCCESS);
  EXPECT_THAT(List(writer, u"\\P"), Not(Contains(u"H")));
  // Two levels below is not a child of \P, but it is one of \P\X.
  EXPECT_THAT(List(app, u"\\P\\X"), ElementsAre(u".", u".."));
}

TEST_F(ListingTest, PausedEntryShowsAgain) {
  ASSERT_EQ(Control(PAUSE_ENTRY, Entry('X', u"\\P\\H")), STATUS_SUCCESS);
  EXPECT_THAT(List(app, u"\\P"), ElementsAre(u".", u"..", u"A", u"H", u"R", u"X"));
  ASSERT_EQ(Control(RESUME_ENTRY, Entry('X', u"\\P\\H")), STATUS_SUCCESS);
  EXPECT_THAT(List(app, u"\\P"), Not(Contains(u"H")));
}

TEST_F(ListingTest, QueryForTheHiddenNameFindsNothingInAnyCase) {
  EXPECT_THAT(List(app, u"\\P", FileBothDirectoryInformation, u"H"), ElementsAre(u"status c000000f"));
  EXPECT_THAT(List(app, u"\\P", FileBothDirectoryInformation, u"h"), ElementsAre(u"status c000000f"));
  EXPECT_THAT(List(app, u"\\P", FileBothDirectoryInformation, u"R"), ElementsAre(u"R"));
}

TEST_F(ListingTest, HiddenFirstRecordBecomesDot) {
  std::vector<ULONG> indexes;
  EXPECT_THAT(List(app, u"\\P", FileDirectoryInformation, u"H*", &indexes), ElementsAre(u"."));
  EXPECT_THAT(indexes, ElementsAre(0u));
}

TEST_F(ListingTest, HiddenLastRecordEndsTheListingBeforeIt) {
  EXPECT_THAT(List(app, u"\\L", FileNamesInformation), ElementsAre(u".", u"..", u"A"));
}

TEST_F(ListingTest, ClosingAndListingLeaveTheNameCacheAsItWas) {
  ULONG before = 0;
  ASSERT_EQ(Control(GET_CACHE_COUNT, nullptr, 0, &before, sizeof before), STATUS_SUCCESS);
  List(app, u"\\P");
  ULONG after = 0;
  ASSERT_EQ(Control(GET_CACHE_COUNT, nullptr, 0, &after, sizeof after), STATUS_SUCCESS);
  EXPECT_EQ(after, before);
}

}  // namespace
}  // namespace nbfs_test
