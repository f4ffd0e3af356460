// FormatMessageW's system texts: every code this platform defines has one, and the
// buffer, allocation and language rules of the call.
#include <fstream>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include <windows.h>

namespace {

std::u16string Format(DWORD flags, DWORD code, DWORD language = 0) {
  WCHAR buffer[512];
  DWORD length = FormatMessageW(flags | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, language, buffer, 512, nullptr);
  return std::u16string(buffer, length);
}

// Every ERROR_ code of winerror.h, read from the header itself so a code added there
// without a text fails here.
TEST(SystemMessages, EveryDefinedCodeHasAText) {
  std::ifstream header(NB_WINERROR_HEADER);
  ASSERT_TRUE(header) << NB_WINERROR_HEADER;
  std::regex define(R"(#define\s+(\w+)\s+(\d+)L)");
  int codes = 0;
  for (std::string line; std::getline(header, line);) {
    std::smatch match;
    if (!std::regex_search(line, match, define)) continue;
    ++codes;
    DWORD code = static_cast<DWORD>(std::stoul(match[2]));
    std::u16string text = Format(FORMAT_MESSAGE_IGNORE_INSERTS, code);
    ASSERT_GT(text.size(), 3u) << match[1] << " has no text";
    EXPECT_EQ(text.substr(text.size() - 2), u"\r\n") << match[1];
    EXPECT_EQ(text.find(u'%'), std::u16string::npos) << match[1] << " has an insert";
  }
  EXPECT_GT(codes, 40);
}

TEST(SystemMessages, BuffersLanguagesAndSources) {
  EXPECT_EQ(Format(0, ERROR_ACCESS_DENIED), u"Access is denied.\r\n");
  EXPECT_EQ(Format(FORMAT_MESSAGE_MAX_WIDTH_MASK, ERROR_ACCESS_DENIED), u"Access is denied.");
  EXPECT_EQ(Format(0, ERROR_ACCESS_DENIED, 0x0409), u"Access is denied.\r\n");

  struct Refusal {
    DWORD flags;
    DWORD code;
    DWORD language;
    DWORD size;
    DWORD error;
  };
  const Refusal refusals[] = {
      {FORMAT_MESSAGE_FROM_SYSTEM, 0x7FFF, 0, 512, ERROR_MR_MID_NOT_FOUND},
      {FORMAT_MESSAGE_FROM_SYSTEM, ERROR_ACCESS_DENIED, 0x0411, 512, ERROR_RESOURCE_LANG_NOT_FOUND},
      {FORMAT_MESSAGE_FROM_SYSTEM, ERROR_ACCESS_DENIED, 0, 19, ERROR_INSUFFICIENT_BUFFER},  // 19 + NUL needed
      {FORMAT_MESSAGE_FROM_STRING, ERROR_ACCESS_DENIED, 0, 512, ERROR_INVALID_PARAMETER},
      {0, ERROR_ACCESS_DENIED, 0, 512, ERROR_INVALID_PARAMETER},
  };
  for (const Refusal& r : refusals) {
    WCHAR buffer[512] = {u'x'};
    SetLastError(0);
    EXPECT_EQ(FormatMessageW(r.flags, nullptr, r.code, r.language, buffer, r.size, nullptr), 0u) << r.code;
    EXPECT_EQ(GetLastError(), r.error) << r.code;
  }
  WCHAR exact[20];
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, exact, 20, nullptr), 19u);
  EXPECT_EQ(exact[19], 0);
}

TEST(SystemMessages, AllocatedTextsAreFreedWithLocalFree) {
  LPWSTR text = nullptr;
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
                                ERROR_FILE_NOT_FOUND, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::u16string(text, length), u"The system cannot find the file specified.\r\n");
  EXPECT_EQ(text[length], 0);
  EXPECT_EQ(LocalFree(text), nullptr);
}

}  // namespace
