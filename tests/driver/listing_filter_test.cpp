// Editing directory listings: every class, first and last records, skipped long names.
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "listing_filter.h"
#include "nb/kernel/kernel.h"
#include "path_rules.h"

namespace {

constexpr ULONG kClasses[] = {1, 2, 3, 12, 37, 38};

struct Listing {
  std::vector<unsigned char> bytes;
  ULONG nameLengthOffset = 0;
  ULONG nameOffset = 0;
};

// Builds records of a class the way a file system returns them: 8-byte aligned,
// FileIndex counting from 1, the last NextEntryOffset 0.
Listing Build(ULONG informationClass, const std::vector<std::u16string>& names) {
  Listing listing;
  EXPECT_TRUE(DirectoryClassLayout(informationClass, &listing.nameLengthOffset, &listing.nameOffset));
  std::vector<size_t> starts;
  for (size_t i = 0; i < names.size(); ++i) {
    size_t start = listing.bytes.size();
    starts.push_back(start);
    ULONG nameBytes = static_cast<ULONG>(names[i].size() * 2);
    size_t size = listing.nameOffset + nameBytes;
    listing.bytes.resize(start + size, 0xEE);
    ULONG index = static_cast<ULONG>(i + 1);
    std::memcpy(&listing.bytes[start + 4], &index, 4);
    std::memcpy(&listing.bytes[start + listing.nameLengthOffset], &nameBytes, 4);
    std::memcpy(&listing.bytes[start + listing.nameOffset], names[i].data(), nameBytes);
    if (i + 1 < names.size()) listing.bytes.resize((listing.bytes.size() + 7) & ~size_t{7}, 0);
  }
  for (size_t i = 0; i < starts.size(); ++i) {
    ULONG next = i + 1 < starts.size() ? static_cast<ULONG>(starts[i + 1] - starts[i]) : 0;
    std::memcpy(&listing.bytes[starts[i]], &next, 4);
  }
  return listing;
}

struct Seen {
  std::u16string name;
  ULONG fileIndex;
};

// Walks the records as a caller would.
std::vector<Seen> Walk(const Listing& listing) {
  std::vector<Seen> seen;
  size_t offset = 0;
  for (;;) {
    const unsigned char* record = &listing.bytes[offset];
    ULONG next, index, length;
    std::memcpy(&next, record, 4);
    std::memcpy(&index, record + 4, 4);
    std::memcpy(&length, record + listing.nameLengthOffset, 4);
    seen.push_back({std::u16string(reinterpret_cast<const char16_t*>(record + listing.nameOffset), length / 2), index});
    if (!next) break;
    offset += next;
  }
  return seen;
}

std::vector<std::u16string> Names(const std::vector<Seen>& seen) {
  std::vector<std::u16string> names;
  for (const auto& s : seen) names.push_back(s.name);
  return names;
}

struct Hidden {
  std::set<std::u16string> paths;  // compared without case, as the table does
  std::vector<std::u16string> asked;
};

bool IsHidden(void* context, const WCHAR* path, ULONG length) {
  auto* hidden = static_cast<Hidden*>(context);
  hidden->asked.emplace_back(path, length / 2);
  for (const auto& p : hidden->paths) {
    if (PathEqual(p.c_str(), static_cast<ULONG>(p.size() * 2), path, length)) return true;
  }
  return false;
}

void Filter(Listing& listing, ULONG informationClass, const std::u16string& directory, Hidden& hidden) {
  FilterDirectoryListing(listing.bytes.data(), static_cast<ULONG>(listing.bytes.size()), informationClass,
                         directory.c_str(), static_cast<ULONG>(directory.size() * 2), IsHidden, &hidden);
}

TEST(ListingFilterTest, HiddenChildDisappearsInEveryClass) {
  for (ULONG cls : kClasses) {
    Listing listing = Build(cls, {u".", u"..", u"A", u"H", u"Z"});
    Hidden hidden{{u"\\P\\h"}, {}};
    Filter(listing, cls, u"\\P", hidden);
    EXPECT_EQ(Names(Walk(listing)), (std::vector<std::u16string>{u".", u"..", u"A", u"Z"})) << cls;
    EXPECT_EQ(hidden.asked[2], u"\\P\\A");
  }
}

TEST(ListingFilterTest, HiddenFirstRecordBecomesDotAndLastIsCutOff) {
  for (ULONG cls : kClasses) {
    Listing listing = Build(cls, {u"H", u"A", u"B", u"G"});
    Hidden hidden{{u"\\P\\H", u"\\P\\G"}, {}};
    Filter(listing, cls, u"\\P", hidden);
    std::vector<Seen> seen = Walk(listing);
    ASSERT_EQ(seen.size(), 3u) << cls;
    EXPECT_EQ(seen[0].name, u".");
    EXPECT_EQ(seen[0].fileIndex, 0u);
    EXPECT_EQ(seen[1].name, u"A");
    EXPECT_EQ(seen[2].name, u"B");  // its NextEntryOffset is now 0
  }
}

TEST(ListingFilterTest, ConsecutiveHiddenRecordsAndTheRoot) {
  Listing listing = Build(37, {u"A", u"H1", u"H2", u"B"});
  Hidden hidden{{u"\\H1", u"\\H2"}, {}};
  Filter(listing, 37, u"\\", hidden);
  EXPECT_EQ(Names(Walk(listing)), (std::vector<std::u16string>{u"A", u"B"}));
  EXPECT_EQ(hidden.asked[0], u"\\A");  // no doubled separator at the root
}

TEST(ListingFilterTest, OverlongChildIsSkippedAndLaterRecordsStillChecked) {
  std::u16string longName(600, u'x');  // "\P\" + 600 units exceeds the 1024-byte work area
  Listing listing = Build(3, {u"A", longName, u"H", u"B"});
  Hidden hidden{{u"\\P\\H"}, {}};
  Filter(listing, 3, u"\\P", hidden);
  EXPECT_EQ(Names(Walk(listing)), (std::vector<std::u16string>{u"A", longName, u"B"}));
}

TEST(ListingFilterTest, UnknownClassesAndTruncatedBuffersAreLeftAlone) {
  Listing listing = Build(3, {u"H", u"A"});
  std::vector<unsigned char> before = listing.bytes;
  Hidden hidden{{u"\\P\\H"}, {}};
  FilterDirectoryListing(listing.bytes.data(), static_cast<ULONG>(listing.bytes.size()), 4, u"\\P", 4, IsHidden,
                         &hidden);
  EXPECT_EQ(listing.bytes, before);
  // A name length pointing past the buffer is not read.
  ULONG bogus = 5000;
  std::memcpy(&listing.bytes[listing.nameLengthOffset], &bogus, 4);
  FilterDirectoryListing(listing.bytes.data(), static_cast<ULONG>(listing.bytes.size()), 3, u"\\P", 4, IsHidden,
                         &hidden);
  EXPECT_TRUE(hidden.asked.size() <= 1);
}

bool Contains(const std::vector<unsigned char>& bytes, const std::u16string& text) {
  std::string needle(reinterpret_cast<const char*>(text.data()), text.size() * 2);
  return std::string(bytes.begin(), bytes.end()).find(needle) != std::string::npos;
}

TEST(ListingFilterTest, WhatLeavesTheListingIsWipedFromTheBuffer) {
  for (ULONG cls : kClasses) {
    Listing listing = Build(cls, {u"Hidden1", u"A", u"Hidden2", u"B", u"Hidden3"});
    Hidden hidden{{u"\\P\\Hidden1", u"\\P\\Hidden2", u"\\P\\Hidden3"}, {}};
    Filter(listing, cls, u"\\P", hidden);
    EXPECT_EQ(Names(Walk(listing)), (std::vector<std::u16string>{u".", u"A", u"B"})) << cls;
    EXPECT_FALSE(Contains(listing.bytes, u"idden")) << cls;
  }
}

// A hidden leaf "Secret" (12 bytes) in \P, and what a cut-short record may show of a name.
struct Prefix {
  std::u16string leaf = u"Secret";
  std::vector<std::u16string> asked;
};

bool MayBeSecret(void* context, const WCHAR* prefix, ULONG prefixLength, ULONG nameLength) {
  auto* hidden = static_cast<Prefix*>(context);
  hidden->asked.emplace_back(prefix, prefixLength / 2);
  return nameLength == hidden->leaf.size() * 2 &&
         PathEqual(hidden->leaf.c_str(), prefixLength, prefix, prefixLength);
}

TEST(ListingFilterTest, ACutShortRecordIsJudgedByWhatItShows) {
  struct Case {
    std::u16string name;
    ULONG shownUnits;  // of the name, beyond the fixed part
    bool mayBeHidden;
  } cases[] = {
      {u"Secret", 0, true},  {u"Secret", 3, true},  {u"SECRET", 5, true}, {u"Secrex", 3, true},
      {u"Secrex", 6, false}, {u"Other1", 0, true},  {u"Other1", 1, false}, {u"Sec", 0, false},
      {u"Secrets", 2, false},
  };
  for (ULONG cls : kClasses) {
    for (const Case& c : cases) {
      Listing full = Build(cls, {c.name});
      ULONG length = full.nameOffset + c.shownUnits * 2;
      std::vector<unsigned char> cut(full.bytes.begin(), full.bytes.begin() + length);
      Prefix hidden;
      ULONG fileIndex = 0;
      bool result = TruncatedRecordMayBeHidden(cut.data(), length, cls, MayBeSecret, &hidden, &fileIndex);
      std::string label = std::to_string(cls) + " " + std::string(c.name.begin(), c.name.end()) + " " +
                          std::to_string(c.shownUnits);
      EXPECT_EQ(result, c.mayBeHidden) << label;
      ASSERT_EQ(hidden.asked.size(), 1u) << label;
      EXPECT_EQ(hidden.asked[0], c.name.substr(0, c.shownUnits)) << label;
      if (result) {
        EXPECT_EQ(fileIndex, 1u) << label;
        EXPECT_EQ(cut, std::vector<unsigned char>(length, 0)) << label << ": wiped";
      } else {
        EXPECT_EQ(cut, std::vector<unsigned char>(full.bytes.begin(), full.bytes.begin() + length)) << label;
      }
    }
    // Without the name length nothing is judged; an unknown class neither.
    Listing full = Build(cls, {u"Secret"});
    Prefix hidden;
    ULONG fileIndex = 0;
    EXPECT_FALSE(TruncatedRecordMayBeHidden(full.bytes.data(), full.nameLengthOffset, cls, MayBeSecret, &hidden,
                                            &fileIndex));
    EXPECT_FALSE(TruncatedRecordMayBeHidden(full.bytes.data(), static_cast<ULONG>(full.bytes.size()), 4, MayBeSecret,
                                            &hidden, &fileIndex));
    EXPECT_TRUE(hidden.asked.empty());
  }
}

TEST(ListingFilterTest, QueryForTheHiddenNameFindsNothing) {
  nb::kernel::Kernel kernel;
  struct Case {
    std::u16string directory;
    std::u16string pattern;
    bool hidden;
  } cases[] = {
      {u"\\P", u"H", true},     {u"\\P", u"h", true},     {u"\\P\\", u"H", true},  {u"\\P", u"*", false},
      {u"\\P", u"H*", false},   {u"\\P", u"Hx", false},   {u"\\P\\H", u"", true},  {u"\\P", u"", false},
      {u"\\P\\H\\x", u"", true}, {u"\\P", u"H\\y", true},
  };
  const std::u16string entry = u"\\P\\H";
  for (const auto& c : cases) {
    bool hidden = !c.hidden;
    ASSERT_EQ(QueryNamesHiddenChild(c.directory.c_str(), static_cast<ULONG>(c.directory.size() * 2),
                                    c.pattern.empty() ? nullptr : c.pattern.c_str(),
                                    static_cast<ULONG>(c.pattern.size() * 2), entry.c_str(),
                                    static_cast<ULONG>(entry.size() * 2), &hidden),
              STATUS_SUCCESS);
    EXPECT_EQ(hidden, c.hidden) << std::string(c.directory.begin(), c.directory.end()) << " / "
                                << std::string(c.pattern.begin(), c.pattern.end());
  }
}

}  // namespace
