// Hidden folders in directory listings of a filtered host volume.
#include <set>

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

// A caller whose buffer is too small for a record gets its start and the length its name
// needs (STATUS_BUFFER_OVERFLOW), then asks again with room for it.
class SmallBufferListingTest : public ListingTest {
 protected:
  struct Seen {
    std::set<std::u16string> names;
    std::vector<ULONG> cutLengths;  // name lengths that cut-short records announced
    bool hiddenBytes = false;       // the buffer ever held the start of the hidden name
    bool endless = false;
  };

  // Any three letters of the hidden name anywhere in the buffer.
  static bool HoldsHiddenName(const std::vector<unsigned char>& buffer, ULONG used) {
    static const std::u16string kName = u"HiddenFolder";
    for (size_t start = 0; start + 3 <= kName.size(); ++start) {
      for (ULONG at = 0; at + 6 <= used; ++at) {
        if (std::memcmp(&buffer[at], kName.data() + start, 6) == 0) return true;
      }
    }
    return false;
  }

  Seen ListInSteps(FILE_INFORMATION_CLASS cls, ULONG size) {
    nb::kernel::ProcessScope scope(app);
    Opened dir;
    Seen seen;
    EXPECT_EQ(Open(u"\\S", FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE, &dir), STATUS_SUCCESS);
    ULONG nameLengthOffset, nameOffset;
    DirectoryClassLayout(cls, &nameLengthOffset, &nameOffset);
    auto query = [&](ULONG length, bool restart, std::vector<unsigned char>* buffer) {
      buffer->assign(length ? length : 1, 0xCD);
      nb::kernel::DirectoryQuery request{cls, std::nullopt, static_cast<UCHAR>(restart ? SL_RESTART_SCAN : 0), 0};
      NTSTATUS status = nb::kernel::QueryDirectory(dir.get(), request, buffer->data(), length);
      if (HoldsHiddenName(*buffer, length)) seen.hiddenBytes = true;
      return status;
    };
    auto collect = [&](const std::vector<unsigned char>& buffer) {
      for (size_t offset = 0;;) {
        ULONG next, length;
        std::memcpy(&next, &buffer[offset], 4);
        std::memcpy(&length, &buffer[offset + nameLengthOffset], 4);
        seen.names.emplace(reinterpret_cast<const char16_t*>(&buffer[offset + nameOffset]), length / 2);
        if (!next) break;
        offset += next;
      }
    };
    std::vector<unsigned char> buffer;
    for (int round = 0; round < 32; ++round) {
      NTSTATUS status = query(size, round == 0, &buffer);
      if (status == STATUS_BUFFER_OVERFLOW) {
        ULONG needed;
        std::memcpy(&needed, &buffer[nameLengthOffset], 4);
        seen.cutLengths.push_back(needed);
        status = query(nameOffset + needed, false, &buffer);
      }
      if (status == STATUS_NO_MORE_FILES || status == STATUS_INFO_LENGTH_MISMATCH) return seen;
      if (status != STATUS_SUCCESS) {
        ADD_FAILURE() << "status " << std::hex << status;
        return seen;
      }
      collect(buffer);
    }
    seen.endless = true;
    return seen;
  }
};

TEST_F(SmallBufferListingTest, AHiddenChildLeavesNoTraceForAnyBufferSize) {
  for (auto path : {"S/B/b", "S/HiddenFolder/h", "S/cc/c"}) WriteHost(path, "");
  ASSERT_EQ(Lock(u"\\S\\HiddenFolder", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  const ULONG hiddenLength = 12 * sizeof(WCHAR);
  for (auto cls : kClasses) {
    ULONG nameLengthOffset, nameOffset;
    ASSERT_TRUE(DirectoryClassLayout(cls, &nameLengthOffset, &nameOffset));
    const ULONG hiddenRecord = (nameOffset + hiddenLength + 7) & ~7u;
    for (ULONG size = 1; size <= hiddenRecord + ((nameOffset + 4 + 7) & ~7u); ++size) {
      Seen seen = ListInSteps(cls, size);
      EXPECT_FALSE(seen.endless) << cls << " size " << size;
      EXPECT_FALSE(seen.hiddenBytes) << cls << " size " << size;
      EXPECT_THAT(seen.cutLengths, Not(Contains(hiddenLength))) << cls << " size " << size;
      if (size < nameOffset) {
        EXPECT_THAT(seen.names, ::testing::IsEmpty()) << cls << " size " << size;
      } else {
        EXPECT_THAT(seen.names, ElementsAre(u".", u"..", u"B", u"cc")) << cls << " size " << size;
      }
    }
  }
}

}  // namespace
}  // namespace nbfs_test
