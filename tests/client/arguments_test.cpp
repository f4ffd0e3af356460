// The client's argument checks and request records by plain calls.
#include <gtest/gtest.h>

#include "arguments.h"

namespace nbclient {
namespace {

TEST(ClientArguments, DriveLettersAreAsciiLettersOfEitherCase) {
  for (WCHAR letter : {u'A', u'Z', u'a', u'z', u'm'}) EXPECT_TRUE(IsValidDrive(letter)) << static_cast<int>(letter);
  // U+0131 and U+017F upper-case to 'I' and 'S' in Unicode; a drive letter they are not.
  for (WCHAR letter : {u'@', u'[', u'`', u'{', u'0', u'\0', u'\u0131', u'\u017F', u'\uFF21'}) {
    EXPECT_FALSE(IsValidDrive(letter)) << static_cast<int>(letter);
  }
}

TEST(ClientArguments, LockTypesAndPermissions) {
  for (ULONG type : {1u, 4u, 0x80u}) EXPECT_TRUE(IsValidLockType(type));
  for (ULONG type : {0u, 2u, 5u, 0x81u, 0xFFFFFFFFu}) EXPECT_FALSE(IsValidLockType(type));
  EXPECT_TRUE(IsValidPermission(1));
  EXPECT_TRUE(IsValidPermission(2));
  EXPECT_FALSE(IsValidPermission(0));
  EXPECT_FALSE(IsValidPermission(3));
}

TEST(ClientArguments, OptionalPaths) {
  std::u16string max = u"\\" + std::u16string(510, u'p');
  std::u16string over = max + u"p";
  struct {
    const WCHAR* path;
    bool valid;
  } cases[] = {{nullptr, true}, {u"", true},  {u"drive", true},     {u"\\", false},
               {u"\\a", true},  {max.c_str(), true}, {over.c_str(), false}};
  for (const auto& c : cases) EXPECT_EQ(IsValidOptionalPath(c.path), c.valid);
}

TEST(ClientArguments, EntriesCopyOnlyFolderPathsThatFit) {
  NBFS_ENTRY entry = MakeEntry(u'q', u"\\dir\\sub", 4, 60);
  EXPECT_EQ(entry.letter, 'q');
  EXPECT_EQ(entry.type, 4u);
  EXPECT_EQ(entry.timeout, 60u);
  EXPECT_EQ(std::u16string(entry.path), u"\\dir\\sub");
  EXPECT_EQ(std::u16string(MakeEntry(u'Q', u"dir").path), u"");
  std::u16string over = u"\\" + std::u16string(511, u'p');
  EXPECT_EQ(std::u16string(MakeEntry(u'Q', over.c_str()).path), u"");
}

TEST(ClientArguments, FindDriveComparesUpperCase) {
  NBFS_DRIVE drives[3]{};
  drives[0].letter = 'c';
  drives[1].letter = 'D';
  drives[1].flags = 1;
  EXPECT_EQ(FindDrive(drives, 3, u'C'), &drives[0]);
  EXPECT_EQ(FindDrive(drives, 3, u'd'), &drives[1]);
  EXPECT_EQ(FindDrive(drives, 3, u'E'), nullptr);
}

}  // namespace
}  // namespace nbclient
