// Parsing and checking of volume paths, and the path helpers renames rely on.
#include <gtest/gtest.h>

#include "names.h"
#include "nb/text.h"

namespace nb::hostfs {
namespace {

TEST(NamesTest, ParsePathAcceptsRootsAndChecksEveryComponent) {
  struct Case {
    std::u16string path;
    NTSTATUS status;
    size_t components;
    bool trailing;
  };
  const Case cases[] = {
      {u"\\", STATUS_SUCCESS, 0, false},
      {u"\\a", STATUS_SUCCESS, 1, false},
      {u"\\a\\b c.txt", STATUS_SUCCESS, 2, false},
      {u"\\dir\\", STATUS_SUCCESS, 1, true},
      {u"", STATUS_OBJECT_NAME_INVALID, 0, false},
      {u"a\\b", STATUS_OBJECT_NAME_INVALID, 0, false},
      {u"\\a\\\\b", STATUS_OBJECT_NAME_INVALID, 0, false},
      {u"\\..", STATUS_OBJECT_NAME_INVALID, 0, false},
      {u"\\a\\..\\..\\etc", STATUS_OBJECT_NAME_INVALID, 0, false},
      {u"\\a\\.\\b", STATUS_OBJECT_NAME_INVALID, 0, false},
      {u"\\a/../b", STATUS_OBJECT_NAME_INVALID, 0, false},
      {u"\\f:stream", STATUS_OBJECT_NAME_INVALID, 0, false},
      {u"\\*.txt", STATUS_OBJECT_NAME_INVALID, 0, false},
      {u"\\a?", STATUS_OBJECT_NAME_INVALID, 0, false},
      {std::u16string(u"\\a\0b", 4), STATUS_OBJECT_NAME_INVALID, 0, false},
      {u"\\lone\xD800", STATUS_OBJECT_NAME_INVALID, 0, false},
      {u"\\pair\xD83D\xDE00", STATUS_SUCCESS, 1, false},
      {u"\\" + std::u16string(255, u'n'), STATUS_SUCCESS, 1, false},
      {u"\\" + std::u16string(256, u'n'), STATUS_OBJECT_NAME_INVALID, 0, false},
  };
  for (const auto& c : cases) {
    ParsedPath parsed;
    EXPECT_EQ(ParsePath(c.path, &parsed), c.status) << nb::text::Utf16ToUtf8(c.path);
    if (c.status == STATUS_SUCCESS) {
      EXPECT_EQ(parsed.components.size(), c.components);
      EXPECT_EQ(parsed.trailingSeparator, c.trailing);
    }
  }
}

TEST(NamesTest, HostPathsJoinComponentsInUtf8) {
  ParsedPath parsed;
  ASSERT_EQ(ParsePath(u"\\d\xE9j\xE0\\f", &parsed), STATUS_SUCCESS);
  EXPECT_EQ(HostPath(parsed.components, 0), ".");
  EXPECT_EQ(HostPath(parsed.components, 1), "d\xC3\xA9j\xC3\xA0");
  EXPECT_EQ(HostPath(parsed.components, 2), "d\xC3\xA9j\xC3\xA0/f");
  EXPECT_EQ(NtPath(parsed.components, 0), u"\\");
  EXPECT_EQ(NtPath(parsed.components, 2), u"\\d\xE9j\xE0\\f");
}

TEST(NamesTest, JoinParentLeafAndBelow) {
  EXPECT_EQ(JoinPath(u"\\", u"a"), u"\\a");
  EXPECT_EQ(JoinPath(u"\\d", u"a"), u"\\d\\a");
  EXPECT_EQ(ParentOf(u"\\a"), u"\\");
  EXPECT_EQ(ParentOf(u"\\a\\b"), u"\\a");
  EXPECT_EQ(LeafOf(u"\\a\\b"), u"b");
  EXPECT_EQ(LeafOf(u"b"), u"b");
  EXPECT_TRUE(IsSameOrBelow(u"\\a", u"\\a"));
  EXPECT_TRUE(IsSameOrBelow(u"\\a\\b", u"\\a"));
  EXPECT_FALSE(IsSameOrBelow(u"\\ab", u"\\a"));
  EXPECT_FALSE(IsSameOrBelow(u"\\", u"\\a"));
  EXPECT_TRUE(IsSameOrBelow(u"\\x", u"\\"));
}

}  // namespace
}  // namespace nb::hostfs
