// The console core's pure pieces by plain calls: command enabling in the menu and the
// context menu, the window placement, the column texts, the own registration's name and
// the language module's path.
#include <gtest/gtest.h>

#include "command_state.h"
#include "console_ids.h"
#include "core_machine.h"
#include "lock_list.h"
#include "placement.h"
#include "startup.h"

namespace core_test {
namespace {

using namespace nb::console;

constexpr UINT kCommands[] = {kCmdLock, kCmdUnlock, kCmdProperties, kCmdResume, kCmdPause, kCmdHidden, kCmdReadOnly};

// Enabled commands as a string of 7 flags in the order of kCommands.
template <class Rule>
std::string Flags(Rule rule, const std::vector<RowState>& selection) {
  std::string flags;
  for (UINT command : kCommands) flags += rule(command, selection) ? '1' : '0';
  return flags;
}

TEST(CommandState, MenuFollowsTheFirstSelectedRow) {
  struct Case {
    std::vector<RowState> selection;
    std::string expected;  // Lock Unlock Properties Resume Pause Hidden ReadOnly
  };
  const Case cases[] = {
      {{}, "1000000"},
      {{{LCK_STATUS_LOCKED, 1}}, "0110101"},
      {{{LCK_STATUS_LOCKED, 4}}, "0110110"},
      {{{LCK_STATUS_PAUSED, 1}}, "0111001"},
      {{{LCK_STATUS_NOT_STARTED, 4}}, "0101000"},
      {{{LCK_STATUS_LOCKED, 0x80}}, "0110100"},
      // The first row decides, whatever the others are.
      {{{LCK_STATUS_PAUSED, 4}, {LCK_STATUS_LOCKED, 1}}, "0111010"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Flags(CommandEnabled, c.selection), c.expected) << "rows " << c.selection.size();
  EXPECT_FALSE(CommandEnabled(kCmdRefresh, {}));
}

TEST(CommandState, ContextMenuRules) {
  struct Case {
    std::vector<RowState> selection;
    std::string expected;
  };
  const Case cases[] = {
      {{}, "1000000"},
      {{{LCK_STATUS_LOCKED, 1}}, "0110101"},   // Hidden is the current mode
      {{{LCK_STATUS_LOCKED, 4}}, "0110110"},   // Read only is the current mode
      {{{LCK_STATUS_PAUSED, 1}}, "0111001"},
      {{{LCK_STATUS_NOT_STARTED, 1}}, "0101000"},
      {{{LCK_STATUS_LOCKED, 0x80}}, "0110111"},  // an unknown mode disables neither
      {{{LCK_STATUS_LOCKED, 1}, {LCK_STATUS_LOCKED, 1}}, "0100101"},  // no Properties for two
  };
  for (const Case& c : cases)
    EXPECT_EQ(Flags(ContextMenuEnabled, c.selection), c.expected) << "rows " << c.selection.size();
}

TEST(Placement, SavedValuesArePulledBackOntoTheScreen) {
  const Rect work{0, 30, 1024, 768};
  const Extent screen{1024, 768}, icon{32, 32};
  struct Case {
    SavedPlacement saved;
    FramePlacement expected;
  };
  const Case cases[] = {
      {{kShowNormal, 100, 50, 500, 650}, {false, 50, 130, 600, 400, kShowNormal}},
      {{kShowMaximized, 10, 2000, 410, 2600}, {false, 992, 40, 600, 400, kShowMaximized}},
      {{kShowNormal, 900, 10, 1300, 610}, {false, 10, 736, 600, 400, kShowNormal}},
      // Any value missing: the default size at the default position.
      {{-1, 100, 50, 500, 650}, {}},
      {{kShowNormal, 100, 50, 500, -1}, {}},
      {{kShowNormal, -1, 50, 500, 650}, {}},
  };
  for (const Case& c : cases) {
    FramePlacement placement = ComputePlacement(c.saved, work, screen, icon);
    EXPECT_EQ(placement.defaultPosition, c.expected.defaultPosition);
    EXPECT_EQ(placement.width, c.expected.width);
    EXPECT_EQ(placement.height, c.expected.height);
    EXPECT_EQ(placement.show, c.expected.show);
    if (!c.expected.defaultPosition) {
      EXPECT_EQ(placement.x, c.expected.x);
      EXPECT_EQ(placement.y, c.expected.y);
    }
  }
  EXPECT_EQ(ComputePlacement({}, work, screen, icon).width, 680);
  EXPECT_EQ(ComputePlacement({}, work, screen, icon).height, 420);
}

TEST(Placement, SavedAndReadBackThroughTheProfile) {
  MapProfile profile;
  EXPECT_FALSE(ReadPlacement(profile).Complete());
  SavePlacement(profile, kShowMaximized, Rect{5, 6, 700, 800});
  SavedPlacement saved = ReadPlacement(profile);
  EXPECT_TRUE(saved.Complete());
  EXPECT_EQ(saved.status, kShowMaximized);
  EXPECT_EQ(saved.left, 5);
  EXPECT_EQ(saved.top, 6);
  EXPECT_EQ(saved.right, 700);
  EXPECT_EQ(saved.bottom, 800);
  EXPECT_EQ(profile.GetInt(u"Frame", u"Right", -1), 700);
}

TEST(Columns, TextsOfARow) {
  _LCK_INFORMAION lock = FolderLock(u'E', u"\\Data", 1, u"alice");
  lock.realDrive = u'F';
  lock.timeout = 15;
  auto strings = TestStrings();
  EXPECT_EQ(ColumnText(lock, kColName, strings), u"F:\\Data") << "the real drive letter";
  EXPECT_EQ(ColumnText(lock, kColType, strings), Text(kStrFolder));
  EXPECT_EQ(ColumnText(lock, kColTimeout, strings), u"15");
  EXPECT_EQ(ColumnText(lock, kColumnCount, strings), u"");

  struct ModeCase {
    int mode;
    UINT text;
  };
  for (ModeCase c : {ModeCase{1, kStrHidden}, {4, kStrReadOnly}, {0, kStrUnknown}, {0x80, kStrUnknown}}) {
    lock.mode = c.mode;
    EXPECT_EQ(ColumnText(lock, kColMode, strings), Text(c.text)) << c.mode;
  }
  struct StatusCase {
    int status, running;
    UINT text;
  };
  for (StatusCase c : {StatusCase{1, 1, kStrRunning}, {1, 0, kStrReady}, {0, 1, kStrPause}, {0, 0, kStrPause},
                       {-1, 1, kStrNotStart}, {7, 1, kStrNotStart}}) {
    lock.status = c.status;
    lock.running = c.running;
    EXPECT_EQ(ColumnText(lock, kColStatus, strings), Text(c.text)) << c.status << "/" << c.running;
  }

  _LCK_INFORMAION drive = FolderLock(u'E', u"", 1, u"");
  drive.realDrive = 0;  // not computed yet: the drive letter
  EXPECT_EQ(ColumnText(drive, kColName, strings), u"E:");
  EXPECT_EQ(ColumnText(drive, kColType, strings), Text(kStrDrive));
  EXPECT_EQ(ColumnText(drive, kColType, {}), u"") << "no loader, no text";
}

TEST(Registration, NameOfTheExecutable) {
  struct Case {
    std::u16string path;
    std::u16string name;
  };
  const Case cases[] = {
      {u"C:\\Program Files\\Nimbra\\NBAdmin.exe", u"NBAdmin.exe"},
      {u"/opt/nimbra/bin/NBAdmin", u"NBAdmin.exe"},
      {u"C:\\Dir.With.Dots\\NBAdmin", u"NBAdmin.exe"},
      {u"C:\\x\\averyveryverylongname.exe", u"averyveryverylo"},
  };
  for (const Case& c : cases) {
    _LCK_PROC_INFORMATION record = OwnRegistration(c.path, 77);
    EXPECT_EQ(std::u16string(record.procName), c.name);
    EXPECT_EQ(record.permission, PROC_PERMISSION_FULL);
    EXPECT_EQ(record.pid, 77u);
  }
  EXPECT_EQ(ResourceModulePath(u"C:\\Program Files\\Nimbra\\NBAdmin.exe", u"EN"),
            u"C:\\Program Files\\Nimbra\\NBAdmin.EN");
  EXPECT_EQ(ResourceModulePath(u"C:\\Dir.With.Dots\\NBAdmin", u"JP"), u"C:\\Dir.With.Dots\\NBAdmin.JP");
}

}  // namespace
}  // namespace core_test
