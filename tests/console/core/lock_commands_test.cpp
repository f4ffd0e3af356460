// The lock commands: unlock with its confirmation and device clean-up, several rows at
// once, resume of a not-started lock, mode changes, dropped folders with the default
// settings, the add dialog, and every command against a lock database another process
// holds open for writing (nothing changes, and driver and database still agree).
#include <algorithm>

#include <gtest/gtest.h>

#include "NBUtil.h"
#include "console_ids.h"
#include "core_machine.h"
#include "lock_list.h"
#include "nb/text.h"

namespace core_test {
namespace {

using nb::console::AddDialogFn;
using nb::console::CommandResult;
using nb::console::kColMode;
using nb::console::kColName;
using nb::console::kColStatus;
using nb::console::kColTimeout;
using nb::console::LockList;
using nb::console::LockListConfig;
using nb::console::Outcome;
using nb::console::RowId;
using util_test::Quietly;

class CommandsTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    config.account = u"alice";
    config.strings = TestStrings();
    config.caption = u"Nimbra 2.2";
  }
  LockList& List() {
    if (!list) {
      list = std::make_unique<LockList>(vault, config);
      list->Reload(false);
    }
    return *list;
  }
  RowId RowNamed(std::u16string_view name) {
    for (RowId row : List().Rows())
      if (List().Text(row, kColName) == name) return row;
    return nb::console::kNoRow;
  }
  // A listed lock of alice's.
  RowId Listed(char16_t drive, std::u16string_view path, int mode = 1) {
    List();
    _LCK_INFORMAION lock = LockInDriver(drive, path, mode);
    auto result = Quietly([&] { return List().AddLocked(lock, false); });
    EXPECT_EQ(result.outcome, Outcome::kDone);
    return result.row;
  }
  // An add function that locks `path` as the add dialog does.
  AddDialogFn Adder(char16_t drive, std::u16string path, std::function<void()> afterLock = {}) {
    return [this, drive, path, afterLock](_LCK_INFORMAION*, int, _LCK_INFORMAION* out) {
      *out = LockInDriver(drive, path);
      if (afterLock) afterLock();
      return 1;
    };
  }
  std::unique_ptr<DatabaseHolder> HoldLockDb() {
    auto holder = std::make_unique<DatabaseHolder>(HostFile(kLockDb));
    EXPECT_TRUE(holder->Holding());
    return holder;
  }
  void SetDefaults(int mode, int timeout) {
    int values[2] = {mode, timeout};
    util_test::UtilMachine::SetValue(util_test::kServiceKey, u"DEFAULT", REG_BINARY, values, sizeof values);
  }

  LockListConfig config;
  std::unique_ptr<LockList> list;
};

TEST_F(CommandsTest, UnlockAsksAndADeclinedAnswerChangesNothing) {
  RowId row = Listed(u'D', u"\\A");
  boxes.Answer(IDNO);
  EXPECT_EQ(Quietly([&] { return List().Unlock(row); }).outcome, Outcome::kCancelled);
  ASSERT_EQ(boxes.Shown().size(), 1u);
  EXPECT_EQ(boxes.Shown()[0].text, Text(nb::console::kStrConfirmUnlock));
  EXPECT_EQ(boxes.Shown()[0].Buttons(), static_cast<UINT>(MB_YESNO));
  EXPECT_EQ(boxes.Shown()[0].Icon(), static_cast<UINT>(MB_ICONQUESTION));
  EXPECT_TRUE(List().Lock(row).has_value());
  EXPECT_EQ(Stored().size(), 1u);
  EXPECT_EQ(DriverLocks().size(), 1u);
}

TEST_F(CommandsTest, UnlockingTheLastLockOfADriveUnregistersItsDevice) {
  RowId a = Listed(u'E', u"\\A");
  RowId b = Listed(u'E', u"\\B");
  ASSERT_TRUE(Registered(util_test::kSerialE));
  boxes.Answer(IDYES);
  EXPECT_EQ(Quietly([&] { return List().Unlock(a); }).outcome, Outcome::kDone);
  EXPECT_TRUE(Registered(util_test::kSerialE)) << "one lock on E: remains";
  boxes.Answer(IDYES);
  EXPECT_EQ(Quietly([&] { return List().Unlock(b); }).outcome, Outcome::kDone);
  EXPECT_FALSE(Registered(util_test::kSerialE));
  EXPECT_TRUE(Stored().empty());
  EXPECT_TRUE(DriverLocks().empty());
  EXPECT_TRUE(List().Rows().empty());
}

TEST_F(CommandsTest, SeveralRowsAskOnceAndPropertiesIgnoresThem) {
  RowId a = Listed(u'D', u"\\A");
  RowId b = Listed(u'D', u"\\B");
  int dialogs = 0;
  config.propertyDialog = [&](_LCK_INFORMAION*) { return ++dialogs, 1; };
  list.reset();
  a = RowNamed(u"D:\\A");
  b = RowNamed(u"D:\\B");
  ASSERT_EQ(List().States({b, 999, a}).size(), 2u) << "unknown rows are left out";
  EXPECT_FALSE(nb::console::ContextMenuEnabled(nb::console::kCmdProperties, List().States({a, b})));
  EXPECT_TRUE(nb::console::ContextMenuEnabled(nb::console::kCmdProperties, List().States({a})));
  EXPECT_TRUE(List().Execute(nb::console::kCmdProperties, {a, b}).empty());
  EXPECT_EQ(dialogs, 0);
  EXPECT_TRUE(List().Execute(nb::console::kCmdLock, {a}).empty()) << "Lock works only with no selection";

  boxes.Answer(IDYES);
  auto results = Quietly([&] { return List().Execute(nb::console::kCmdUnlock, {a, b}); });
  ASSERT_EQ(results.size(), 2u);
  EXPECT_TRUE(results[0].ok());
  EXPECT_TRUE(results[1].ok());
  EXPECT_EQ(boxes.Shown().size(), 1u);
  EXPECT_TRUE(List().Rows().empty());
  EXPECT_TRUE(Stored().empty());
}

TEST_F(CommandsTest, ResumeStartsANotStartedLock) {
  machine.MakeFolder('D', "\\Waiting");
  Store(FolderLock(u'D', u"\\Waiting", util_test::kSerialD, u"alice"));
  RowId row = RowNamed(u"D:\\Waiting");
  ASSERT_EQ(List().Lock(row)->status, LCK_STATUS_NOT_STARTED);
  EXPECT_EQ(Quietly([&] { return List().Pause(row); }).outcome, Outcome::kNotApplicable);
  EXPECT_EQ(Quietly([&] { return List().Resume(row); }).outcome, Outcome::kDone);
  EXPECT_EQ(List().Lock(row)->status, LCK_STATUS_LOCKED);
  EXPECT_EQ(DriverLocks().size(), 1u);
  EXPECT_EQ(FindStored(Stored(), u'D', u"\\Waiting")->status, LCK_STATUS_LOCKED);

  EXPECT_EQ(Quietly([&] { return List().Pause(row); }).outcome, Outcome::kDone);
  EXPECT_EQ(List().Text(row, kColStatus), Text(nb::console::kStrPause));
  EXPECT_EQ(FindStored(Stored(), u'D', u"\\Waiting")->status, LCK_STATUS_PAUSED);
}

TEST_F(CommandsTest, AStartThatWouldNestInAnotherLockFailsAndStaysNotStarted) {
  machine.MakeFolder('D', "\\Outer\\Inner");
  Store(FolderLock(u'D', u"\\Outer\\Inner", util_test::kSerialD, u"alice"));
  Listed(u'D', u"\\Outer", 4);  // read only: the folder inside stays visible
  list.reset();
  RowId inner = RowNamed(u"D:\\Outer\\Inner");
  ASSERT_TRUE(List().Lock(inner).has_value());
  ASSERT_EQ(List().Lock(inner)->status, LCK_STATUS_NOT_STARTED);
  EXPECT_EQ(Quietly([&] { return List().Resume(inner); }).outcome, Outcome::kUsedFolder);
  EXPECT_EQ(List().Lock(inner)->status, LCK_STATUS_NOT_STARTED);
  EXPECT_EQ(DriverLocks().size(), 1u);
}

TEST_F(CommandsTest, ModeChangesReachDriverDatabaseAndRow) {
  RowId row = Listed(u'D', u"\\A");
  EXPECT_EQ(Quietly([&] { return List().SetMode(row, 4); }).outcome, Outcome::kDone);
  EXPECT_EQ(List().Text(row, kColMode), Text(nb::console::kStrReadOnly));
  EXPECT_EQ(FindStored(Stored(), u'D', u"\\A")->mode, 4);
  EXPECT_EQ(DriverLocks()[0].mode, 4);
  EXPECT_EQ(Quietly([&] { return List().SetMode(row, 2); }).outcome, Outcome::kNotApplicable);
  EXPECT_EQ(List().Lock(row)->mode, 4);
}

TEST_F(CommandsTest, LockAddsTheDialogsLockWithTheAccountAsOwner) {
  machine.MakeFolder('D', "\\Waiting");
  Store(FolderLock(u'D', u"\\Waiting", util_test::kSerialD, u"alice"));
  ASSERT_EQ(List().Rows().size(), 1u);
  int seen = -1;
  AddDialogFn add = [&](_LCK_INFORMAION* locks, int count, _LCK_INFORMAION* out) {
    seen = count;
    EXPECT_EQ(std::u16string(locks[0].path), u"\\Waiting");
    return Adder(u'C', u"\\New")(locks, count, out);
  };
  auto result = Quietly([&] { return List().LockNew(add); });
  ASSERT_EQ(result.outcome, Outcome::kDone);
  EXPECT_EQ(seen, 1);
  EXPECT_EQ(List().Text(result.row, kColName), u"C:\\New");
  auto locks = Stored();
  const _LCK_INFORMAION* stored = FindStored(locks, u'C', u"\\New");
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(std::u16string(stored->owner), u"alice");
  // One lock was listed before: the list was reloaded with auto-start.
  EXPECT_EQ(List().Lock(RowNamed(u"D:\\Waiting"))->status, LCK_STATUS_LOCKED);

  AddDialogFn cancel = [](_LCK_INFORMAION*, int, _LCK_INFORMAION*) { return 0; };
  EXPECT_EQ(Quietly([&] { return List().LockNew(cancel); }).outcome, Outcome::kCancelled);
  EXPECT_EQ(List().Rows().size(), 2u);
}

TEST_F(CommandsTest, DroppedFoldersAreLockedWithTheDefaults) {
  machine.MakeFolder('D', "\\Drop");
  machine.MakeFolder('D', "\\Second");
  {
    std::FILE* file = std::fopen((machine.Folder('D') / "file.txt").c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
  }
  SetDefaults(4, 50000);  // beyond the largest time-out
  auto results = Quietly([&] {
    return List().DropFolders({u"D:\\", u"D:\\file.txt", u"D:\\Missing", u"C:\\Windows", u"D:\\Drop", u"D:\\Drop"});
  });
  ASSERT_EQ(results.size(), 6u);
  EXPECT_EQ(results[0].outcome, Outcome::kNotFolder);
  EXPECT_EQ(results[1].outcome, Outcome::kNotFolder);
  EXPECT_EQ(results[2].outcome, Outcome::kNotFolder);
  EXPECT_EQ(results[3].outcome, Outcome::kExcluded);
  EXPECT_EQ(results[4].outcome, Outcome::kDone);
  EXPECT_EQ(results[5].outcome, Outcome::kUsedFolder);
  EXPECT_EQ(results[4].path, u"D:\\Drop");
  auto dropped = List().Lock(results[4].row);
  ASSERT_TRUE(dropped.has_value());
  EXPECT_EQ(dropped->mode, 4);
  EXPECT_EQ(dropped->timeout, DEFOPTION_TIMEOUT_MAX);
  EXPECT_EQ(dropped->running, 0);
  EXPECT_EQ(dropped->serial, util_test::kSerialD);
  EXPECT_EQ(List().Text(results[4].row, kColTimeout), u"10000");
  EXPECT_EQ(std::u16string(FindStored(Stored(), u'D', u"\\Drop")->owner), u"alice");

  // Without stored defaults: hidden, no time-out, running.
  util_test::UtilMachine::DeleteValue(util_test::kServiceKey, u"DEFAULT");
  auto second = Quietly([&] { return List().DropFolders({u"D:\\Second"}); });
  ASSERT_TRUE(second[0].ok());
  EXPECT_EQ(List().Lock(second[0].row)->mode, 1);
  EXPECT_EQ(List().Lock(second[0].row)->timeout, 0);
  EXPECT_EQ(List().Lock(second[0].row)->running, 1);
  EXPECT_EQ(DriverLocks().size(), 2u);
}

TEST_F(CommandsTest, ANegativeDefaultTimeOutBecomesZero) {
  machine.MakeFolder('D', "\\Drop");
  SetDefaults(1, -5);
  auto results = Quietly([&] { return List().DropFolders({u"D:\\Drop"}); });
  ASSERT_TRUE(results[0].ok());
  EXPECT_EQ(List().Lock(results[0].row)->timeout, 0);
}

TEST_F(CommandsTest, LockPathChecksItsInputAndLocksFoldersAndDrives) {
  machine.MakeFolder('D', "\\Given");
  struct Case {
    std::u16string path;
    int mode, timeout;
    Outcome outcome;
  };
  const Case cases[] = {
      {u"D:\\Given", 2, 0, Outcome::kNotApplicable},
      {u"D:\\Given", 4, -1, Outcome::kNotApplicable},
      {u"D:\\Given", 4, DEFOPTION_TIMEOUT_MAX + 1, Outcome::kNotApplicable},
      {u"Given", 4, 30, Outcome::kNotFolder},
      {u"D:Given", 4, 30, Outcome::kNotFolder},
      {u"D:\\Missing", 4, 30, Outcome::kNotFolder},
      {u"Z:\\Share", 4, 30, Outcome::kBadDrive},
      {u"C:\\Windows", 4, 30, Outcome::kExcluded},
      {u"D:\\Given\\", 4, 30, Outcome::kDone},
      {u"D:\\Given", 1, 0, Outcome::kUsedFolder},
      {u"E:", 1, 0, Outcome::kDone},
  };
  for (const Case& c : cases) {
    auto result = Quietly([&] { return List().LockPath(c.path, c.mode, c.timeout); });
    EXPECT_EQ(result.outcome, c.outcome) << nb::text::Utf16ToUtf8(c.path);
  }
  RowId folder = RowNamed(u"D:\\Given");
  ASSERT_TRUE(List().Lock(folder).has_value());
  EXPECT_EQ(List().Lock(folder)->mode, 4);
  EXPECT_EQ(List().Lock(folder)->timeout, 30);
  EXPECT_EQ(List().Lock(folder)->running, 0);
  RowId drive = RowNamed(u"E:");
  ASSERT_TRUE(List().Lock(drive).has_value());
  EXPECT_EQ(List().Lock(drive)->type, LCK_TYPE_DRIVE);
  EXPECT_EQ(List().Text(drive, nb::console::kColType), Text(nb::console::kStrDrive));
  EXPECT_EQ(Stored().size(), 2u);
  EXPECT_EQ(DriverLocks().size(), 2u);
}

// --- A lock database another process holds open for writing --------------------------------

TEST_F(CommandsTest, WithTheDatabaseHeldNoCommandChangesAnything) {
  Listed(u'D', u"\\A");
  machine.MakeFolder('D', "\\Waiting");
  Store(FolderLock(u'D', u"\\Waiting", util_test::kSerialD, u"alice"));
  list.reset();
  RowId row = RowNamed(u"D:\\A");
  RowId waiting = RowNamed(u"D:\\Waiting");
  ASSERT_EQ(List().Lock(waiting)->status, LCK_STATUS_NOT_STARTED);
  machine.MakeFolder('D', "\\Drop");
  int dialogs = 0;
  auto holder = HoldLockDb();

  boxes.Answer(IDYES);
  EXPECT_EQ(Quietly([&] { return List().Unlock(row); }).outcome, Outcome::kStoreFailed);
  EXPECT_EQ(Quietly([&] { return List().SetMode(row, 4); }).outcome, Outcome::kStoreFailed);
  EXPECT_EQ(Quietly([&] { return List().Pause(row); }).outcome, Outcome::kStoreFailed);
  EXPECT_EQ(Quietly([&] {
              return List().Properties(row, [&](_LCK_INFORMAION*) { return ++dialogs, 1; });
            }).outcome,
            Outcome::kStoreFailed);
  EXPECT_EQ(Quietly([&] { return List().LockNew(Adder(u'D', u"\\B")); }).outcome, Outcome::kStoreFailed);
  EXPECT_EQ(Quietly([&] { return List().DropFolders({u"D:\\Drop"}); })[0].outcome, Outcome::kStoreFailed);
  EXPECT_EQ(Quietly([&] { return List().Resume(waiting); }).outcome, Outcome::kStoreFailed);
  EXPECT_EQ(dialogs, 0);

  EXPECT_EQ(List().Lock(waiting)->status, LCK_STATUS_NOT_STARTED);
  EXPECT_EQ(List().Rows().size(), 2u);
  EXPECT_EQ(List().Lock(row)->mode, 1);
  EXPECT_EQ(List().Lock(row)->status, LCK_STATUS_LOCKED);
  auto driver = DriverLocks();
  ASSERT_EQ(driver.size(), 1u);
  EXPECT_EQ(std::u16string(driver[0].path), u"\\A");
  EXPECT_EQ(driver[0].mode, 1);

  holder.reset();
  auto stored = Stored();
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(FindStored(stored, u'D', u"\\A")->mode, 1);
  EXPECT_EQ(FindStored(stored, u'D', u"\\A")->status, LCK_STATUS_LOCKED);
}

// The database becomes unwritable while the property dialog is open, after the dialog
// changed the driver: the driver gets the old mode back.
TEST_F(CommandsTest, APropertyChangeThatCannotBeStoredIsTakenBack) {
  RowId row = Listed(u'D', u"\\A");
  std::unique_ptr<DatabaseHolder> holder;
  auto dialog = [&](_LCK_INFORMAION* lock) {
    lock->mode = 4;
    EXPECT_EQ(vault.SetLock(lock, 0), 1);
    holder = HoldLockDb();
    return 1;
  };
  EXPECT_EQ(Quietly([&] { return List().Properties(row, dialog); }).outcome, Outcome::kStoreFailed);
  EXPECT_EQ(List().Lock(row)->mode, 1);
  EXPECT_EQ(DriverLocks()[0].mode, 1);
  holder.reset();
  EXPECT_EQ(Stored()[0].mode, 1);
}

TEST_F(CommandsTest, ALockThatCannotBeStoredIsUndoneWithItsOwnRegistration) {
  List();
  bool registered = false;
  _LCK_INFORMAION lock = LockInDriver(u'E', u"\\Only", 1, 0, &registered);
  ASSERT_TRUE(registered);
  auto holder = HoldLockDb();
  EXPECT_EQ(Quietly([&] { return List().AddLocked(lock, true); }).outcome, Outcome::kStoreFailed);
  EXPECT_TRUE(DriverLocks().empty());
  EXPECT_FALSE(Registered(util_test::kSerialE));
  EXPECT_TRUE(List().Rows().empty());
}

// The database becomes unwritable while the add dialog is open, after the dialog locked:
// the lock is undone, and the volume's registration goes only when this lock made it.
TEST_F(CommandsTest, AnAddedLockThatCannotBeStoredIsUndone) {
  std::unique_ptr<DatabaseHolder> holder;
  auto hold = [&] { holder = HoldLockDb(); };

  EXPECT_EQ(Quietly([&] { return List().LockNew(Adder(u'E', u"\\Alone", hold)); }).outcome, Outcome::kStoreFailed);
  EXPECT_TRUE(DriverLocks().empty());
  EXPECT_FALSE(Registered(util_test::kSerialE)) << "this lock's registration";
  holder.reset();

  RowId old = Listed(u'E', u"\\Old");
  ASSERT_TRUE(Registered(util_test::kSerialE));
  EXPECT_EQ(Quietly([&] { return List().LockNew(Adder(u'E', u"\\New", hold)); }).outcome, Outcome::kStoreFailed);
  EXPECT_TRUE(Registered(util_test::kSerialE)) << "E:\\Old still needs it";
  auto driver = DriverLocks();
  ASSERT_EQ(driver.size(), 1u);
  EXPECT_EQ(std::u16string(driver[0].path), u"\\Old");
  EXPECT_EQ(List().Rows(), std::vector<RowId>{old});
}

TEST_F(CommandsTest, UnknownRowsAreRefused) {
  for (RowId row : {RowId{0}, RowId{12345}}) {
    EXPECT_EQ(List().Unlock(row).outcome, Outcome::kNoSuchRow);
    EXPECT_EQ(List().UnlockRow(row, false).outcome, Outcome::kNoSuchRow);
    EXPECT_EQ(List().Resume(row).outcome, Outcome::kNoSuchRow);
    EXPECT_EQ(List().Pause(row).outcome, Outcome::kNoSuchRow);
    EXPECT_EQ(List().SetMode(row, 1).outcome, Outcome::kNoSuchRow);
    EXPECT_EQ(List().Properties(row, [](_LCK_INFORMAION*) { return 1; }).outcome, Outcome::kNoSuchRow);
  }
  EXPECT_TRUE(boxes.Shown().empty());
}

}  // namespace
}  // namespace core_test
