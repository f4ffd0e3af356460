// The lock dialogs' decisions by plain calls: drives offered, typed and browsed paths,
// status texts and names, and the change of a lock's properties.
#include <cstring>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include <windows.h>

#include "dialog_machine.h"
#include "lock_rules.h"

namespace dialogs_test {
namespace {

using namespace nb::dialogs;

constexpr DWORD Mask(const char* letters) {
  DWORD mask = 0;
  for (; *letters; ++letters) mask |= 1u << (*letters - 'A');
  return mask;
}

TEST(LockRules, OfferedDrivesSkipTheSystemDriveRejectedDrivesAndAandB) {
  auto notY = [](WCHAR letter) { return letter != u'Y'; };
  struct Case {
    DWORD mask;
    WCHAR system;
    std::u16string expected;
  };
  for (const Case& c : {Case{Mask("ABCDEY"), u'C', u"DE"}, Case{Mask("CDE"), u'd', u"CE"},
                        Case{Mask("CDZ"), 0, u"CDZ"}, Case{Mask("AB"), u'C', u""}, Case{Mask("CY"), u'C', u""}}) {
    std::vector<WCHAR> drives = OfferedDrives(c.mask, c.system, notY);
    EXPECT_EQ(std::u16string(drives.begin(), drives.end()), c.expected) << std::hex << c.mask;
  }
}

TEST(LockRules, ABrowsedFolderIsTakenOnlyBelowTheRootOfAnAcceptedDrive) {
  auto onlyD = [](WCHAR letter) { return letter == u'D'; };
  EXPECT_TRUE(TakesBrowsedFolder(u"D:\\Data", onlyD));
  EXPECT_TRUE(TakesBrowsedFolder(u"d:\\Data", onlyD)) << "letter case";
  EXPECT_FALSE(TakesBrowsedFolder(u"D:\\", onlyD));
  EXPECT_FALSE(TakesBrowsedFolder(u"D:", onlyD));
  EXPECT_FALSE(TakesBrowsedFolder(u"E:\\Data", onlyD));
}

TEST(LockRules, TypedPathsAreResolvedBeforeUse) {
  struct Case {
    const char16_t* typed;
    const char16_t* expected;  // null: refused
  };
  for (const Case& c : {Case{u"C:\\Data\\..\\Data", u"C:\\Data"}, Case{u"d:/a//b/./", u"D:\\a\\b"},
                        Case{u"C:\\Data\\", u"C:\\Data"}, Case{u"C:\\..\\..\\x", u"C:\\x"}, Case{u"C:\\a\\..", u"C:\\"},
                        Case{u"C:\\", u"C:\\"}, Case{u"C:\\.a\\..b", u"C:\\.a\\..b"}, Case{u"C:Data", nullptr},
                        Case{u"Data", nullptr}, Case{u"\\\\server\\share", nullptr}, Case{u"1:\\x", nullptr},
                        Case{u"C:", nullptr}, Case{u"", nullptr}}) {
    std::u16string normalized = u"unchanged";
    bool ok = NormalizeFolderPath(c.typed, &normalized);
    EXPECT_EQ(ok, c.expected != nullptr) << std::string(c.typed, c.typed + std::char_traits<char16_t>::length(c.typed));
    if (c.expected) {
      EXPECT_EQ(normalized, c.expected);
    }
  }
  std::u16string withNul(u"C:\\a\0b", 6), out;
  EXPECT_FALSE(NormalizeFolderPath(withNul, &out));
}

TEST(LockRules, StatusTextAndNameOfALock) {
  _LCK_INFORMAION lock = MakeLock(u'D', u"\\Data", 1, u"");
  lock.realDrive = u'F';
  EXPECT_EQ(LockName(lock), u"F:\\Data") << "the real drive letter";
  lock.type = LCK_TYPE_DRIVE;
  EXPECT_EQ(LockName(lock), u"F:\\");
  lock.running = 1;
  EXPECT_EQ(StatusMessage(lock), kMsgStatusRunning);
  lock.running = 0;
  EXPECT_EQ(StatusMessage(lock), kMsgStatusReady);
  lock.status = LCK_STATUS_NOT_STARTED;
  EXPECT_EQ(StatusMessage(lock), kMsgStatusReady);
  lock.status = LCK_STATUS_PAUSED;
  lock.running = 1;
  EXPECT_EQ(StatusMessage(lock), kMsgStatusPaused);
}

TEST(LockRules, PropertiesAreRestoredWhenTheDriverRefuses) {
  _LCK_INFORMAION lock = MakeLock(u'D', u"\\Data", 1, u"");
  lock.mode = 0x21;
  lock.timeout = 7;
  lock.running = 0;
  _LCK_INFORMAION seen;
  auto refuse = [&](_LCK_INFORMAION* l) {
    seen = *l;
    return false;
  };
  EXPECT_FALSE(ApplyProperties(&lock, 4, 0, refuse));
  EXPECT_EQ(seen.mode, 4) << "the driver is asked for the new values";
  EXPECT_EQ(seen.timeout, 0);
  EXPECT_EQ(lock.mode, 0x21);
  EXPECT_EQ(lock.timeout, 7);
  EXPECT_EQ(lock.running, 0);

  auto take = [](_LCK_INFORMAION*) { return true; };
  EXPECT_TRUE(ApplyProperties(&lock, std::nullopt, 0, take));
  EXPECT_EQ(lock.mode, 0x21) << "no selection keeps the mode";
  EXPECT_EQ(lock.running, 1);
  EXPECT_TRUE(ApplyProperties(&lock, 1, 30, take));
  EXPECT_EQ(lock.mode, 1);
  EXPECT_EQ(lock.timeout, 30);
  EXPECT_EQ(lock.running, 0);
}

}  // namespace
}  // namespace dialogs_test
