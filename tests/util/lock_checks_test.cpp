// Checks before a lock is set: collisions with listed locks, path comparison, lockable
// drive types, and the shortcut resolver that resolves nothing.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "NBUtil.h"
#include "util_machine.h"

namespace util_test {
namespace {

_LCK_INFORMAION Lock(WCHAR drive, std::u16string path) {
  _LCK_INFORMAION lock{};
  lock.type = path.empty() ? LCK_TYPE_DRIVE : LCK_TYPE_FOLDER;
  lock.drive = drive;
  std::memcpy(lock.path, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
  return lock;
}

TEST(CheckUsedFolderTest, CollisionsWithOneListedLock) {
  struct Case {
    const char* what;
    _LCK_INFORMAION candidate;
    _LCK_INFORMAION listed;
    int collides;
  };
  const Case cases[] = {
      {"inside a locked folder", Lock(u'C', u"\\Data\\A"), Lock(u'C', u"\\Data"), 1},
      {"holding a locked folder", Lock(u'C', u"\\Data"), Lock(u'C', u"\\Data\\A"), 1},
      {"sibling", Lock(u'C', u"\\Data\\A"), Lock(u'C', u"\\Data\\B"), 0},
      {"three-letter prefix without separator", Lock(u'C', u"\\Data\\A"), Lock(u'C', u"\\Dat"), 1},
      {"same name, other case", Lock(u'c', u"\\DATA"), Lock(u'C', u"\\data"), 1},
      {"same depth, longer name", Lock(u'C', u"\\Database"), Lock(u'C', u"\\Data"), 0},
      {"drive lock on C:", Lock(u'C', u"\\Data\\A"), Lock(u'C', u""), 1},
      {"drive lock on D:", Lock(u'C', u"\\Data\\A"), Lock(u'D', u""), 0},
      {"drive lock against a folder of it", Lock(u'C', u""), Lock(u'C', u"\\Data"), 1},
      {"same drive lock", Lock(u'C', u""), Lock(u'c', u""), 1},
      {"same folder on another drive", Lock(u'D', u"\\Data"), Lock(u'C', u"\\Data"), 0},
      {"Cyrillic folded as the driver does", Lock(u'C', u"\\\u0414\u0430\u043d\u043d\u044b\u0435"),
       Lock(u'C', u"\\\u0434\u0430\u043d\u043d\u044b\u0435"), 1},
  };
  for (const Case& c : cases) EXPECT_EQ(CheckUsedFolder(&c.candidate, &c.listed, 1), c.collides) << c.what;
}

TEST(CheckUsedFolderTest, EveryListedLockIsAskedAndAnEmptyListNever) {
  std::vector<_LCK_INFORMAION> list = {Lock(u'D', u""), Lock(u'C', u"\\Data\\B"), Lock(u'C', u"\\Data")};
  _LCK_INFORMAION candidate = Lock(u'C', u"\\Data\\A");
  EXPECT_EQ(CheckUsedFolder(&candidate, list.data(), 3), 1);
  EXPECT_EQ(CheckUsedFolder(&candidate, list.data(), 2), 0);
  EXPECT_EQ(CheckUsedFolder(&candidate, list.data(), 0), 0);
  EXPECT_EQ(CheckUsedFolder(&candidate, nullptr, 3), 0);

  // Paths that fill their field without a NUL are read within it.
  _LCK_INFORMAION full = Lock(u'C', u"");
  full.type = LCK_TYPE_FOLDER;
  for (WCHAR& unit : full.path) unit = u'a';
  full.path[0] = u'\\';
  _LCK_INFORMAION same = full;
  EXPECT_EQ(CheckUsedFolder(&full, &same, 1), 1);
}

TEST(LockCMPTest, PathsCompareIgnoringCaseAndDrive) {
  _LCK_INFORMAION c = Lock(u'C', u"\\Data\\Reports");
  _LCK_INFORMAION d = Lock(u'D', u"\\DATA\\reports");
  EXPECT_EQ(LockCMP(&c, &d), 1);
  _LCK_INFORMAION other = Lock(u'C', u"\\Data\\Report");
  EXPECT_EQ(LockCMP(&c, &other), 0);
  _LCK_INFORMAION driveC = Lock(u'C', u"");
  _LCK_INFORMAION driveD = Lock(u'D', u"");
  EXPECT_EQ(LockCMP(&driveC, &driveD), 1) << "two drive locks have the same empty path";
}

using CheckDriveTest = UtilTest;

TEST_F(CheckDriveTest, FixedAndRemovableDrivesMayBeLocked) {
  struct Case {
    WCHAR letter;
    int lockable;
  };
  const Case cases[] = {{u'C', 1}, {u'd', 1}, {u'E', 1}, {u'Z', 0}, {u'Q', 0}, {u'1', 0}};
  for (const Case& c : cases) EXPECT_EQ(CheckDrive(c.letter), c.lockable) << static_cast<char>(c.letter);
}

TEST(ResolvShotcutTest, ResolvesNothing) {
  WCHAR target[4] = {u'x', 0, 0, 0};
  EXPECT_EQ(ResolvShotcut(u"C:\\link.lnk", target), 1);
  EXPECT_EQ(target[0], u'x');
}

}  // namespace
}  // namespace util_test
