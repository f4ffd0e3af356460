// WideCharToMultiByte and MultiByteToWideChar: the ANSI code page is UTF-8, sizes are
// asked with a zero size and a short buffer fails.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include <windows.h>

namespace {

TEST(CodePages, WideToAnsiSizesAndRefusals) {
  struct Case {
    const char16_t* text;
    int units;
    std::string bytes;
  };
  const Case cases[] = {
      {u"Nimbra", -1, std::string("Nimbra", 7)},  // with the NUL
      {u"Nimbra", 3, "Nim"},                      // a counted part, no NUL
      {u"\u65e5\u672c\u8a9e", -1, std::string("\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e", 10)},
      {u"\xd83d\xde00", 2, "\xf0\x9f\x98\x80"},  // a surrogate pair
      {u"\xd83d!", 2, "\xef\xbf\xbd!"},          // a lone half becomes U+FFFD
  };
  for (const Case& c : cases) {
    for (UINT codePage : {static_cast<UINT>(CP_ACP), static_cast<UINT>(CP_UTF8)}) {
      int needed = WideCharToMultiByte(codePage, 0, c.text, c.units, nullptr, 0, nullptr, nullptr);
      ASSERT_EQ(needed, static_cast<int>(c.bytes.size()));
      char buffer[32];
      std::memset(buffer, '#', sizeof buffer);
      SetLastError(0);
      EXPECT_EQ(WideCharToMultiByte(codePage, 0, c.text, c.units, buffer, needed - 1, nullptr, nullptr), 0);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
      BOOL usedDefault = TRUE;
      EXPECT_EQ(WideCharToMultiByte(codePage, 0, c.text, c.units, buffer, needed, nullptr, &usedDefault), needed);
      EXPECT_EQ(std::string(buffer, needed), c.bytes);
      EXPECT_EQ(usedDefault, FALSE);
      EXPECT_EQ(buffer[needed], '#');
    }
  }
  char buffer[8];
  for (int units : {0, -2}) {
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"x", units, buffer, 8, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  EXPECT_EQ(WideCharToMultiByte(932, 0, u"x", -1, buffer, 8, nullptr, nullptr), 0) << "only UTF-8 is served";
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, nullptr, -1, buffer, 8, nullptr, nullptr), 0);
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"x", -1, nullptr, 8, nullptr, nullptr), 0);
}

TEST(CodePages, AnsiToWideRoundTrips) {
  const char* text = "C:\\\xe6\x97\xa5\xe6\x9c\xac";
  int needed = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  ASSERT_EQ(needed, 6);
  WCHAR wide[6];
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 5), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 6), 6);
  EXPECT_EQ(std::u16string(wide), u"C:\\\u65e5\u672c");
  char back[16];
  ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, -1, back, sizeof back, nullptr, nullptr), 10);
  EXPECT_STREQ(back, text);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, text, 3, wide, 6), 3);
}

}  // namespace
