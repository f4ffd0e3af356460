// System texts and the language of the installation.
#include <string>

#include <gtest/gtest.h>

#include "NBUtil.h"
#include "util_machine.h"

namespace util_test {
namespace {

using TextLanguageTest = UtilTest;

constexpr const char16_t* kUninstallKey =
    u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{9681097C-03B8-45BD-A671-75BD72285DF0}";

TEST_F(TextLanguageTest, SystemTexts) {
  WCHAR text[1024];
  int length = SysMessage(ERROR_ACCESS_DENIED, text);
  EXPECT_GT(length, 0);
  EXPECT_EQ(std::u16string(text).size(), static_cast<size_t>(length));
  EXPECT_NE(std::u16string(text).find(u"Access is denied"), std::u16string::npos);
  text[0] = u'x';
  EXPECT_EQ(SysMessage(0x2BADF00D, text), 0);
  EXPECT_EQ(text[0], 0);
}

TEST_F(TextLanguageTest, EnglishUnlessTheInstallationSaysOtherwise) {
  LanguageInfo info;
  EXPECT_EQ(GetDefaultLang(&info), 0) << "no uninstall key";
  EXPECT_EQ(info.index, 3);
  EXPECT_EQ(info.primary, 9);
  EXPECT_EQ(info.sub, 1);
  EXPECT_EQ(info.reserved, 0);
  EXPECT_EQ(std::u16string(info.code), u"EN");

  UtilMachine::MakeKey(kUninstallKey);
  EXPECT_EQ(GetDefaultLang(&info), 0) << "no LANGUAGE value";
  EXPECT_EQ(std::u16string(info.code), u"EN");

  DWORD japanese = 2;
  UtilMachine::SetValue(kUninstallKey, u"LANGUAGE", REG_DWORD, &japanese, sizeof japanese);
  EXPECT_EQ(GetDefaultLang(&info), 1);
  EXPECT_EQ(info.index, 2);
  EXPECT_EQ(info.primary, 17);
  EXPECT_EQ(std::u16string(info.code), u"JP");
  EXPECT_EQ(info.reserved, 0);
}

}  // namespace
}  // namespace util_test
