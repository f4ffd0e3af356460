// The lock list's reload and its rows: the merge of the driver's and the database's locks,
// the owner filter, the default folder, stored locks on absent or present media, the
// device clean-up, the same folder on two volumes, and rows named by ids that survive a
// growing array and a reload delivered while a dialog is open.
#include <algorithm>

#include <gtest/gtest.h>

#include "NBUtil.h"
#include "console_ids.h"
#include "core_machine.h"
#include "lock_list.h"
#include "nb/win/shell_notify.h"
#include <shlobj.h>

namespace core_test {
namespace {

using nb::console::kColName;
using nb::console::kColStatus;
using nb::console::LockList;
using nb::console::LockListConfig;
using nb::console::Outcome;
using nb::console::RowId;
using util_test::Quietly;

LockListConfig Config(std::u16string account = u"alice") {
  LockListConfig config;
  config.account = std::move(account);
  config.strings = TestStrings();
  config.caption = u"Nimbra 2.2";
  return config;
}

std::vector<std::u16string> Names(const LockList& list) {
  std::vector<std::u16string> names;
  for (RowId row : list.Rows()) names.push_back(list.Text(row, kColName));
  std::sort(names.begin(), names.end());
  return names;
}

RowId RowNamed(const LockList& list, std::u16string_view name) {
  for (RowId row : list.Rows())
    if (list.Text(row, kColName) == name) return row;
  return nb::console::kNoRow;
}

class LockListTest : public CoreTest {
 protected:
  void Reload(LockList& list, bool autoStart) {
    Quietly([&] { return list.Reload(autoStart); });
  }
  _LCK_INFORMAION Owned(_LCK_INFORMAION lock, std::u16string_view owner, int status = LCK_STATUS_LOCKED) {
    std::fill(std::begin(lock.owner), std::end(lock.owner), u'\0');
    std::copy(owner.begin(), owner.end(), lock.owner);
    lock.status = status;
    return lock;
  }
};

TEST_F(LockListTest, ListsOwnAndUnownedLocksButNeitherOthersNorTheDefaultFolder) {
  ASSERT_EQ(Quietly([] { return LockDefaultFolder(); }), 1);
  Store(Owned(LockInDriver(u'C', u"\\A"), u"alice"));
  Store(Owned(LockInDriver(u'C', u"\\B"), u"bob"));
  Store(Owned(LockInDriver(u'D', u"\\Shared"), u""));
  Store(Owned(LockInDriver(u'D', u"\\Cased"), u"Alice"));  // names compare exactly
  LockInDriver(u'D', u"\\Unstored");
  nb::win::ClearShellNotifications();

  LockList list(vault, Config());
  Reload(list, false);
  EXPECT_EQ(Names(list), (std::vector<std::u16string>{u"C:\\A", u"D:\\Shared", u"D:\\Unstored"}));
  EXPECT_EQ(list.Array().size(), 5u) << "other accounts' locks stay in the array, the default folder does not";
  for (const auto& lock : list.Array()) EXPECT_NE(std::u16string(lock.path), u"\\Windows\\Application Data\\NB");

  // A reload without auto-start tells the shell to redraw.
  auto notes = nb::win::ShellNotifications();
  EXPECT_TRUE(std::any_of(notes.begin(), notes.end(), [](const auto& n) { return n.eventId == SHCNE_UPDATEDIR; }));
  EXPECT_TRUE(std::any_of(notes.begin(), notes.end(), [](const auto& n) {
    return n.eventId == SHCNE_ASSOCCHANGED && (n.flags & SHCNF_FLUSH);
  }));

  // Another account sees its own and the unowned ones.
  LockList bobs(vault, Config(u"bob"));
  Reload(bobs, false);
  EXPECT_EQ(Names(bobs), (std::vector<std::u16string>{u"C:\\B", u"D:\\Shared", u"D:\\Unstored"}));
}

// The same folder name on two volumes: each driver lock takes the status and owner of its
// own stored record, and unlocking one removes only its record.
TEST_F(LockListTest, TheSameFolderOnTwoVolumesKeepsItsOwnRecord) {
  _LCK_INFORMAION onC = LockInDriver(u'C', u"\\Data");
  _LCK_INFORMAION onE = LockInDriver(u'E', u"\\Data");
  ASSERT_EQ(Quietly([&] { return vault.PauseLock(&onE, 0); }), 1);
  Store(Owned(onC, u"alice", LCK_STATUS_LOCKED));
  Store(Owned(onE, u"alice", LCK_STATUS_PAUSED));

  LockList list(vault, Config());
  Reload(list, false);
  RowId c = RowNamed(list, u"C:\\Data"), e = RowNamed(list, u"E:\\Data");
  ASSERT_NE(c, nb::console::kNoRow);
  ASSERT_NE(e, nb::console::kNoRow);
  EXPECT_EQ(list.Lock(c)->status, LCK_STATUS_LOCKED);
  EXPECT_EQ(list.Lock(e)->status, LCK_STATUS_PAUSED);
  EXPECT_EQ(list.Text(e, kColStatus), Text(nb::console::kStrPause));

  boxes.Answer(IDYES);
  EXPECT_EQ(Quietly([&] { return list.Unlock(e); }).outcome, Outcome::kDone);
  auto stored = Stored();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].serial, util_test::kSerialC);
  auto driver = DriverLocks();
  ASSERT_EQ(driver.size(), 1u);
  EXPECT_EQ(driver[0].drive, u'C');
  EXPECT_EQ(list.Rows(), std::vector<RowId>{c});
  EXPECT_EQ(list.Lock(c)->status, LCK_STATUS_LOCKED);
}

TEST_F(LockListTest, AnotherAccountsLockOnAnotherVolumeStaysHidden) {
  Store(Owned(LockInDriver(u'C', u"\\Data"), u"alice"));
  Store(Owned(LockInDriver(u'E', u"\\Data"), u"bob"));
  LockList list(vault, Config());
  Reload(list, false);
  EXPECT_EQ(Names(list), std::vector<std::u16string>{u"C:\\Data"});
}

TEST_F(LockListTest, StoredLocksAreListedOnlyWhenTheirVolumeAndFolderArePresent) {
  machine.MakeFolder('E', "\\Media");
  Store(FolderLock(u'E', u"\\Media", util_test::kSerialE, u"alice", LCK_STATUS_PAUSED));
  Store(FolderLock(u'D', u"\\Gone", util_test::kSerialD, u"alice"));
  Store(FolderLock(u'D', u"\\Elsewhere", 0x12345678, u"alice"));  // a volume not present

  LockList list(vault, Config());
  Reload(list, false);
  ASSERT_EQ(Names(list), std::vector<std::u16string>{u"E:\\Media"});
  RowId media = list.Rows()[0];
  EXPECT_EQ(list.Lock(media)->status, LCK_STATUS_NOT_STARTED);
  EXPECT_EQ(list.Text(media, kColStatus), Text(nb::console::kStrNotStart));
  EXPECT_TRUE(DriverLocks().empty());

  // Refresh starts it and brings it back to its stored paused state.
  Reload(list, true);
  ASSERT_EQ(list.Rows(), std::vector<RowId>{media}) << "the row keeps its id across reloads";
  EXPECT_EQ(list.Lock(media)->status, LCK_STATUS_PAUSED);
  auto driver = DriverLocks();
  ASSERT_EQ(driver.size(), 1u);
  EXPECT_EQ(std::u16string(driver[0].path), u"\\Media");
  EXPECT_TRUE(Registered(util_test::kSerialE));
  EXPECT_EQ(FindStored(Stored(), u'E', u"\\Media")->status, LCK_STATUS_PAUSED);

  // The next reload takes the state from the store again.
  Reload(list, false);
  EXPECT_EQ(list.Lock(media)->status, LCK_STATUS_PAUSED);
}

TEST_F(LockListTest, AStoredLockOnAnAbsentMediumIsNotListedAndItsRegistrationIsCleanedUp) {
  machine.MakeFolder('E', "\\Media");
  Store(FolderLock(u'E', u"\\Media", util_test::kSerialE, u"alice"));
  _LCK_INFORMAION media = FolderLock(u'E', u"\\Media", util_test::kSerialE, u"alice");
  ASSERT_TRUE(Quietly([&] { return vault.AddDevice(&media, false); }));
  Store(Owned(LockInDriver(u'D', u"\\Kept"), u"alice"));
  ASSERT_EQ(machine.RemoveVolume('E'), STATUS_SUCCESS);

  LockList list(vault, Config());
  Reload(list, true);
  EXPECT_EQ(Names(list), std::vector<std::u16string>{u"D:\\Kept"});
  EXPECT_FALSE(Registered(util_test::kSerialE)) << "neither present nor used by a driver lock";
}

// Rows are named by ids: the array grows past its first allocation, and an old row still
// names its own lock.
TEST_F(LockListTest, RowIdsSurviveAGrowingArray) {
  LockList list(vault, Config());
  Reload(list, false);
  std::vector<RowId> rows;
  for (int i = 0; i < 40; ++i) {
    std::u16string path = u"\\F" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)) +
                          std::u16string(1, static_cast<char16_t>(u'a' + i / 26));
    auto result = Quietly([&] { return list.AddLocked(LockInDriver(u'D', path), false); });
    ASSERT_EQ(result.outcome, Outcome::kDone);
    rows.push_back(result.row);
  }
  EXPECT_EQ(list.Rows().size(), 40u);
  std::u16string third = list.Text(rows[2], kColName);
  std::u16string fourth = list.Text(rows[3], kColName);

  boxes.Answer(IDYES);
  EXPECT_EQ(Quietly([&] { return list.Unlock(rows[2]); }).outcome, Outcome::kDone);
  EXPECT_FALSE(list.Lock(rows[2]).has_value());
  EXPECT_EQ(list.Text(rows[3], kColName), fourth);
  auto stored = Stored();
  EXPECT_EQ(stored.size(), 39u);
  EXPECT_EQ(FindStored(stored, u'D', third.substr(2)), nullptr);
  EXPECT_NE(FindStored(stored, u'D', fourth.substr(2)), nullptr);
  EXPECT_EQ(DriverLocks().size(), 39u);
  // A removed id names nothing any more.
  EXPECT_EQ(Quietly([&] { return list.Pause(rows[2]); }).outcome, Outcome::kNoSuchRow);
}

// A reload delivered while the property dialog is open waits for it; the dialog's change
// lands on the record it was opened for, and the reload then runs once.
TEST_F(LockListTest, AReloadDuringThePropertyDialogWaitsForIt) {
  Store(Owned(LockInDriver(u'C', u"\\A"), u"alice"));
  Store(Owned(LockInDriver(u'C', u"\\B"), u"alice"));
  LockList list(vault, Config());
  Reload(list, false);
  RowId a = RowNamed(list, u"C:\\A"), b = RowNamed(list, u"C:\\B");
  int calls = 0;
  auto dialog = [&](_LCK_INFORMAION* lock) {
    ++calls;
    // Another program adds a lock and the notification thread asks for a reload.
    Store(Owned(LockInDriver(u'D', u"\\New"), u"alice"));
    EXPECT_FALSE(list.Reload(false));
    EXPECT_FALSE(list.Reload(true));
    EXPECT_TRUE(list.ReloadPending());
    EXPECT_EQ(list.Rows().size(), 2u) << "the rows do not change under the dialog";
    lock->mode = 4;
    lock->timeout = 7;
    return vault.SetLock(lock, 1);
  };
  auto result = Quietly([&] { return list.Properties(a, dialog); });
  EXPECT_EQ(result.outcome, Outcome::kDone);
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(list.ReloadPending());
  EXPECT_EQ(Names(list), (std::vector<std::u16string>{u"C:\\A", u"C:\\B", u"D:\\New"})) << "the reload ran after";
  EXPECT_EQ(list.Lock(a)->mode, 4);
  EXPECT_EQ(list.Lock(b)->mode, 1);
  auto stored = Stored();
  EXPECT_EQ(FindStored(stored, u'C', u"\\A")->mode, 4);
  EXPECT_EQ(FindStored(stored, u'C', u"\\A")->timeout, 7);
  EXPECT_EQ(FindStored(stored, u'C', u"\\B")->mode, 1);
  auto driver = DriverLocks();
  EXPECT_EQ(FindStored(driver, u'C', u"\\A")->timeout, 7) << "a timed lock reports its mode only when closed";
  EXPECT_EQ(FindStored(driver, u'C', u"\\B")->mode, 1);
}

// A dialog that removes its own row (another road to the same record) leaves nothing
// behind: the change is not written for a lock that is gone.
TEST_F(LockListTest, ARowRemovedFromWithinItsDialogIsNotWrittenBack) {
  Store(Owned(LockInDriver(u'C', u"\\A"), u"alice"));
  LockList list(vault, Config());
  Reload(list, false);
  RowId a = RowNamed(list, u"C:\\A");
  auto dialog = [&](_LCK_INFORMAION* lock) {
    EXPECT_TRUE(list.UnlockRow(a, false).ok());
    lock->mode = 4;
    return 1;
  };
  EXPECT_EQ(Quietly([&] { return list.Properties(a, dialog); }).outcome, Outcome::kNoSuchRow);
  EXPECT_TRUE(list.Rows().empty());
  EXPECT_TRUE(Stored().empty());
  EXPECT_TRUE(DriverLocks().empty());
}

TEST_F(LockListTest, ABusyScopeDefersReloadsAndRunsThemOnce) {
  int changes = 0;
  LockListConfig config = Config();
  config.changed = [&] { ++changes; };
  LockList list(vault, config);
  Store(Owned(LockInDriver(u'C', u"\\A"), u"alice"));
  {
    LockList::BusyScope outer(list);
    {
      LockList::BusyScope inner(list);
      EXPECT_FALSE(list.Reload(false));
    }
    EXPECT_TRUE(list.ReloadPending()) << "the outer scope still runs";
    EXPECT_FALSE(list.Reload(false));
    EXPECT_TRUE(list.Rows().empty());
  }
  EXPECT_FALSE(list.ReloadPending());
  EXPECT_EQ(Names(list), std::vector<std::u16string>{u"C:\\A"});
  EXPECT_EQ(changes, 1);
}

}  // namespace
}  // namespace core_test
