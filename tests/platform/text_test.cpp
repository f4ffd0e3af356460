// Formatting with the Windows wide-string conversions, and UTF conversion.
#include <gtest/gtest.h>

#include "nb/text.h"

namespace {

using nb::text::Format;
using nb::text::FormatWide;

TEST(FormatTest, NarrowConversions) {
  EXPECT_EQ(Format("%c:%ws", 'C', u"\\Data"), "C:\\Data");
  EXPECT_EQ(Format("[%S]", u"wide"), "[wide]");
  EXPECT_EQ(Format("%2.2d/%4.4d", 7, 26), "07/0026");
  EXPECT_EQ(Format("err=%x", 0xC0000001u), "err=c0000001");
  EXPECT_EQ(Format("0x%X %u %d", 255u, 4000000000u, -5), "0xFF 4000000000 -5");
  EXPECT_EQ(Format("%-4s|%4s", "ab", "cd"), "ab  |  cd");
  EXPECT_EQ(Format("%.3s", "abcdef"), "abc");
  EXPECT_EQ(Format("100%%"), "100%");
  EXPECT_EQ(Format("%ws", u"\u00e9\u4e2d"), "\u00e9\u4e2d");
  EXPECT_EQ(Format("%I64d", static_cast<long long>(1) << 40), "1099511627776");
}

TEST(FormatTest, WideConversions) {
  EXPECT_EQ(FormatWide(u"%s=%S", u"path", "ansi"), u"path=ansi");
  EXPECT_EQ(FormatWide(u"%c:%ws %hs", u'D', u"\\x", "y"), u"D:\\x y");
  EXPECT_EQ(FormatWide(u"%d-%x", 12, 0x1f), u"12-1f");
}

TEST(Utf, RoundTripsAndReplacesBrokenInput) {
  std::u16string wide = u"A\u00e9\u4e2d\U0001F600";
  EXPECT_EQ(nb::text::Utf8ToUtf16(nb::text::Utf16ToUtf8(wide)), wide);
  EXPECT_EQ(nb::text::Utf8ToUtf16("a\xff" "b"), u"a\xfffd" u"b");
  EXPECT_EQ(nb::text::Utf8ToUtf16("\xe4\xb8"), u"\xfffd\xfffd");
  EXPECT_EQ(nb::text::Utf16ToUtf8(std::u16string(1, u'\xd800')), "\xef\xbf\xbd");
}

}  // namespace

#include <ntifs.h>

namespace {
TEST(CaseMapping, CoversLatinGreekAndCyrillicBothWays) {
  struct Case {
    WCHAR upper, lower;
  } cases[] = {{u'A', u'a'}, {0xC9, 0xE9}, {0x100, 0x101}, {0x141, 0x142}, {0x391, 0x3B1}, {0x410, 0x430},
               {0x401, 0x451}};
  for (const auto& c : cases) {
    EXPECT_EQ(RtlDowncaseUnicodeChar(c.upper), c.lower) << static_cast<int>(c.upper);
    EXPECT_EQ(RtlUpcaseUnicodeChar(c.lower), c.upper) << static_cast<int>(c.lower);
  }
  EXPECT_EQ(RtlDowncaseUnicodeChar(0xD7), 0xD7);  // multiplication sign has no case
  EXPECT_EQ(RtlDowncaseUnicodeChar(u'1'), u'1');
  EXPECT_EQ(RtlUpcaseUnicodeChar(0x4E2D), 0x4E2D);
}
}  // namespace
