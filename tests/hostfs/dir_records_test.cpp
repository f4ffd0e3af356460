// Name patterns and the chaining, alignment and overflow of directory records.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "dir_records.h"

namespace nb::hostfs {
namespace {

TEST(DirRecordsTest, PatternsMatchWithStarQuestionMarkAndDosWildcardsCaseSensitively) {
  struct Case {
    std::u16string pattern;
    std::u16string name;
    bool matches;
  };
  const Case cases[] = {
      {u"*", u"anything", true},       {u"*", u".", true},
      {u"H", u"H", true},              {u"H", u"h", false},
      {u"h*", u"Hidden", false},       {u"*.txt", u"a.txt", true},
      {u"*.txt", u"a.txt.bak", false}, {u"?.txt", u"ab.txt", false},
      {u"??.txt", u"ab.txt", true},    {u"a*b*c", u"aXbYbZc", true},
      {u"a*b*c", u"aXbYbZ", false},    {u"*a*", u"bbb", false},
      {u"**", u"", true},              {u"?", u"", false},
      {u"*.*", u"noext", false},       {u"*.*", u"x.y", true},
      // The DOS wildcards of Win32 patterns: "*.*" arrives as <"*, "?" as >.
      {u"<\"*", u"noext", true},      {u"<\"*", u"a.b.c", true},
      {u"<\"*", u".", true},          {u"<\"*", u"..", true},
      {u"<.txt", u"a.b.txt", true},    {u"<.txt", u"a.txt.bak", false},
      {u"a>", u"a", true},             {u"a>", u"ab", true},
      {u"a>", u"abc", false},          {u"a>c", u"a.c", false},
      {u"file>.txt", u"file.txt", true}, {u"file>.txt", u"file1.txt", true},
      {u"file>.txt", u"file12.txt", false}, {u"f\">", u"f", true},
      {u"f\">", u"f.a", true},        {u"f\">", u"f.ab", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MatchesPattern(c.pattern, c.name), c.matches)
        << std::string(c.pattern.begin(), c.pattern.end()) << " " << std::string(c.name.begin(), c.name.end());
  }
}

ULONG At32(const std::vector<UCHAR>& buffer, size_t offset) {
  ULONG value;
  std::memcpy(&value, buffer.data() + offset, sizeof value);
  return value;
}

TEST(DirRecordsTest, RecordsStartOnEightByteBoundariesAndTheLastEndsTheChain) {
  std::vector<UCHAR> buffer(512, 0xCC);
  DirectoryRecordWriter writer(FileNamesInformation, buffer.data(), static_cast<ULONG>(buffer.size()));
  FileFacts facts;
  ASSERT_EQ(writer.Append(0, facts, u"a"), DirectoryRecordWriter::Outcome::kWritten);     // 12 + 2 bytes
  ASSERT_EQ(writer.Append(1, facts, u"bcd"), DirectoryRecordWriter::Outcome::kWritten);   // at 16
  ASSERT_EQ(writer.Append(7, facts, u"efghi"), DirectoryRecordWriter::Outcome::kWritten); // at 40
  EXPECT_EQ(writer.Count(), 3u);
  EXPECT_EQ(writer.Used(), 40u + 12 + 10);
  EXPECT_EQ(At32(buffer, 0), 16u);
  EXPECT_EQ(At32(buffer, 16), 24u);
  EXPECT_EQ(At32(buffer, 40), 0u);
  EXPECT_EQ(At32(buffer, 40 + 4), 7u);
  EXPECT_EQ(At32(buffer, 40 + 8), 10u);
  EXPECT_EQ(std::memcmp(buffer.data() + 40 + 12, u"efghi", 10), 0);
}

TEST(DirRecordsTest, FirstRecordThatDoesNotFitIsTruncatedOrRefused) {
  FileFacts facts;
  std::vector<UCHAR> buffer(64 + 4);
  DirectoryRecordWriter truncating(FileDirectoryInformation, buffer.data(), static_cast<ULONG>(buffer.size()));
  EXPECT_EQ(truncating.Append(0, facts, u"longname"), DirectoryRecordWriter::Outcome::kTruncated);
  EXPECT_EQ(truncating.Count(), 0u);
  EXPECT_EQ(truncating.Used(), 68u);
  EXPECT_EQ(At32(buffer, 60), 16u);  // the whole name's length
  EXPECT_EQ(std::memcmp(buffer.data() + 64, u"lo", 4), 0);

  DirectoryRecordWriter tooSmall(FileDirectoryInformation, buffer.data(), 63);
  EXPECT_EQ(tooSmall.Append(0, facts, u"x"), DirectoryRecordWriter::Outcome::kTooSmall);

  // After a record, one that does not fit is left for the next query.
  std::vector<UCHAR> two(64 + 2 + 6 + 64);
  DirectoryRecordWriter full(FileDirectoryInformation, two.data(), static_cast<ULONG>(two.size()));
  EXPECT_EQ(full.Append(0, facts, u"a"), DirectoryRecordWriter::Outcome::kWritten);
  EXPECT_EQ(full.Append(1, facts, u"b"), DirectoryRecordWriter::Outcome::kFull);
  EXPECT_EQ(At32(two, 0), 0u);
}

}  // namespace
}  // namespace nb::hostfs
