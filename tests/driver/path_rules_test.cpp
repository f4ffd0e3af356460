// Path equality and the governing entry, table-driven.
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "path_rules.h"

namespace {

ULONG Bytes(const std::u16string& s) { return static_cast<ULONG>(s.size() * sizeof(char16_t)); }

TEST(PathRulesTest, PathEqualIgnoresCaseOnly) {
  struct Case {
    std::u16string a, b;
    bool equal;
  } cases[] = {
      {u"\\Data", u"\\DATA", true},
      {u"\\Data", u"\\data", true},
      {u"\\Data", u"\\Data2", false},
      {u"\\A\\B", u"\\a\\b", true},
      {u"\\A\\.", u"\\A", false},       // no normalisation of "."
      {u"\\A\\..\\B", u"\\B", false},   // nor of ".."
      {u"\\\u00c9t\u00e9", u"\\\u00e9T\u00c9", true},
      {u"", u"", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PathEqual(c.a.c_str(), Bytes(c.a), c.b.c_str(), Bytes(c.b)), c.equal)
        << std::string(c.a.begin(), c.a.end()) << " vs " << std::string(c.b.begin(), c.b.end());
  }
}

TEST(PathRulesTest, IsUnderGovernsTheFolderAndWhatLiesBelow) {
  struct Case {
    std::u16string entry, path;
    bool under;
  } cases[] = {
      {u"\\A", u"\\A", true},
      {u"\\A", u"\\A\\x", true},
      {u"\\A", u"\\a\\x", true},
      {u"\\A", u"\\AB", false},
      {u"\\A", u"\\A.txt", false},
      {u"\\A\\B", u"\\A", false},
      {u"\\A\\B", u"\\A\\B\\c\\d", true},
      {u"\\", u"\\anything", true},
      {u"\\", u"\\", true},
      {u"\\Long", u"\\Lo", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsUnder(c.entry.c_str(), Bytes(c.entry), c.path.c_str(), Bytes(c.path)), c.under)
        << std::string(c.entry.begin(), c.entry.end()) << " over " << std::string(c.path.begin(), c.path.end());
  }
}

}  // namespace
