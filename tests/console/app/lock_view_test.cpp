// The console's list view and lock commands, reached through the window: columns and
// rows, command enabling through the menu actions, drops, the background reload and the
// dialogs the commands open.
#include <QApplication>
#include <QComboBox>
#include <QDropEvent>
#include <QMenu>
#include <QListView>
#include <QMimeData>
#include <QStandardItemModel>
#include <QToolButton>
#include <QTreeView>
#include <QUrl>

#include <filesystem>
#include <fstream>
#include <thread>

#include "app_machine.h"
#include "console_ids.h"
#include "database_holder.h"
#include "menus.h"
#include "toolbar_ex.h"

namespace app_test {
namespace {

using namespace nb::console;

constexpr UINT kLockCommands[] = {kCmdLock, kCmdUnlock, kCmdProperties, kCmdResume,
                                  kCmdPause, kCmdHidden, kCmdReadOnly};

class LockViewTest : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    AddAccount(u"Boss", u"pw", 1);
  }
  // The enabled lock commands, in id order.
  std::vector<UINT> Enabled() const {
    std::vector<UINT> enabled;
    for (UINT id : kLockCommands) {
      if (Frame()->Action(id)->isEnabled()) enabled.push_back(id);
    }
    return enabled;
  }
  // Drops local files on the list as a file manager does.
  void DropFiles(const QList<QUrl>& urls) {
    QMimeData data;
    data.setUrls(urls);
    QPoint centre = View()->rect().center();
    QDragEnterEvent enter(centre, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(View(), &enter);
    ASSERT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(centre), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(View(), &drop);
    QApplication::processEvents();
  }
  int DriverLocks() {
    CVAULTObj vault;
    return util_test::Quietly([&] { return vault.GetLockCount(0); });
  }
};

TEST_F(LockViewTest, TheListShowsTheColumnsOfTheAccountsLocks) {
  AddLock("\\Data", u"Boss");
  AddLock("\\Paused", u"", LCK_STATUS_PAUSED, 4);
  AddLock("\\Other", u"Ann");
  ASSERT_TRUE(StartAs("Boss", "pw"));
  auto* model = View()->findChild<QTreeView*>("Details")->model();
  QStringList headers;
  for (int column = 0; column < 5; ++column) headers << model->headerData(column, Qt::Horizontal).toString();
  EXPECT_EQ(headers, QStringList({"Name", "Type", "Lock Mode", "Idle Timeout(Minute)", "Status"}));
  ASSERT_EQ(View()->RowCount(), 2) << "another account's lock is not listed";
  std::map<QString, QStringList> rows;
  for (int row = 0; row < 2; ++row) {
    QStringList cells;
    for (int column = 0; column < 5; ++column) cells << View()->CellText(row, column);
    rows[cells[0]] = cells;
  }
  EXPECT_EQ(rows["D:\\Data"], QStringList({"D:\\Data", "Folder", "Hidden", "0", "Running"}));
  EXPECT_EQ(rows["D:\\Paused"], QStringList({"D:\\Paused", "Folder", "Read only", "0", "Pause"}));
  for (int row = 0; row < 2; ++row) {
    bool paused = View()->CellText(row, 0) == "D:\\Paused";
    EXPECT_EQ(View()->RowColour(row) == QColor(112, 128, 144), paused) << "grey only for locks not in force";
  }
}

TEST_F(LockViewTest, CommandsFollowTheSelectionThroughTheMenuActions) {
  AddLock("\\Hidden", u"Boss");
  AddLock("\\Paused", u"Boss", LCK_STATUS_PAUSED, 4);
  ASSERT_TRUE(StartAs("Boss", "pw"));
  ASSERT_EQ(View()->RowCount(), 2);
  int hidden = View()->CellText(0, 0) == "D:\\Hidden" ? 0 : 1;
  int paused = 1 - hidden;

  View()->SelectRows({});
  EXPECT_EQ(Enabled(), std::vector<UINT>({kCmdLock}));
  View()->SelectRows({hidden});
  EXPECT_EQ(Enabled(), std::vector<UINT>({kCmdUnlock, kCmdProperties, kCmdPause, kCmdReadOnly}));
  View()->SelectRows({paused});
  EXPECT_EQ(Enabled(), std::vector<UINT>({kCmdUnlock, kCmdProperties, kCmdResume, kCmdHidden}));

  // The enabled Pause reaches the driver and the row.
  View()->SelectRows({hidden});
  Frame()->Action(kCmdPause)->trigger();
  EXPECT_EQ(View()->CellText(hidden, kColStatus), "Pause");
  EXPECT_EQ(Enabled(), std::vector<UINT>({kCmdUnlock, kCmdProperties, kCmdResume, kCmdReadOnly}))
      << "the commands follow the changed row";
}

TEST_F(LockViewTest, TheContextMenuAppliesItsOwnRules) {
  AddLock("\\One", u"Boss");
  AddLock("\\Two", u"Boss");
  ASSERT_TRUE(StartAs("Boss", "pw"));
  View()->SelectRows({0, 1});
  std::unique_ptr<QMenu> menu = View()->ContextMenu();
  auto enabled = [&](UINT id) {
    auto* action = menu->findChild<QAction*>(QString::number(id));
    EXPECT_NE(action, nullptr) << id;
    return action && action->isEnabled();
  };
  EXPECT_FALSE(enabled(kCmdLock));
  EXPECT_TRUE(enabled(kCmdUnlock));
  EXPECT_FALSE(enabled(kCmdProperties)) << "two rows";
  EXPECT_TRUE(Frame()->Action(kCmdProperties)->isEnabled()) << "the menu judges by the first row";
}

TEST_F(LockViewTest, PropertiesDoesNothingWithTwoRowsSelected) {
  AddLock("\\One", u"Boss");
  AddLock("\\Two", u"Boss");
  ASSERT_TRUE(StartAs("Boss", "pw"));
  View()->SelectRows({0, 1});
  EXPECT_FALSE(OpensModal([&] { Frame()->Action(kCmdProperties)->trigger(); }));
  View()->SelectRows({0});
  EXPECT_TRUE(OpensModal([&] { Frame()->Action(kCmdProperties)->trigger(); })) << "one row opens the dialog";
}

TEST_F(LockViewTest, AReloadSignalledWhileThePropertyDialogIsOpenWaitsForIt) {
  AddLock("\\Data", u"Boss");
  ASSERT_TRUE(StartAs("Boss", "pw"));
  View()->SelectRows({0});
  bool pendingWhileOpen = false;
  int rowsWhileOpen = -1;
  Drive([&] { Frame()->Action(kCmdProperties)->trigger(); return 0; },
        {[&](QWidget* dialog) {
          // A lock made by someone else meanwhile, and the service's signal for it.
          AddLock("\\New", u"Boss");
          std::thread([&] { emit Frame()->updateInfo(); }).join();
          QApplication::processEvents();
          pendingWhileOpen = View()->List().ReloadPending();
          rowsWhileOpen = View()->RowCount();
          Control<QComboBox>(dialog, 1017)->setCurrentIndex(1);
          Click(dialog, 1018);
        }});
  EXPECT_TRUE(pendingWhileOpen);
  EXPECT_EQ(rowsWhileOpen, 1) << "the rows stay as they are under the dialog";
  EXPECT_FALSE(View()->List().ReloadPending());
  ASSERT_EQ(View()->RowCount(), 2) << "the deferred reload ran once the dialog closed";
  for (int row = 0; row < 2; ++row) {
    if (View()->CellText(row, 0) == "D:\\Data") {
      EXPECT_EQ(View()->CellText(row, kColMode), "Read only");
    }
  }
}

TEST_F(LockViewTest, TheServiceSignalReloadsOnTheWindowsThread) {
  ASSERT_TRUE(StartAs("Boss", "pw"));
  EXPECT_EQ(View()->RowCount(), 0);
  AddLock("\\Late", u"Boss");
  std::thread([&] { emit Frame()->updateInfo(); }).join();
  EXPECT_EQ(View()->RowCount(), 0) << "queued, not run on the signalling thread";
  QApplication::processEvents();
  ASSERT_EQ(View()->RowCount(), 1);
  EXPECT_EQ(View()->CellText(0, 0), "D:\\Late");
}

TEST_F(LockViewTest, ADroppedFileOrDriveRootDoesNothing) {
  ASSERT_TRUE(StartAs("Boss", "pw"));
  std::filesystem::path file = machine.MakeFolder('D', "\\Docs") / "note.txt";
  std::ofstream(file) << "text";
  int before = DriverLocks();
  EXPECT_FALSE(OpensModal([&] {
    DropFiles({QUrl::fromLocalFile(QString::fromStdString(file.string())),
               QUrl::fromLocalFile(QString::fromStdString(machine.Folder('C').string()))});
  }));
  EXPECT_EQ(View()->RowCount(), 0);
  EXPECT_EQ(DriverLocks(), before);
  EXPECT_EQ(lockDb.GetCountLock(), 0);
}

TEST_F(LockViewTest, ADroppedFolderIsLockedWithTheDefaults) {
  ASSERT_TRUE(StartAs("Boss", "pw"));
  std::filesystem::path folder = machine.MakeFolder('D', "\\Drop");
  DropFiles({QUrl::fromLocalFile(QString::fromStdString(folder.string()))});
  ASSERT_EQ(View()->RowCount(), 1);
  EXPECT_EQ(View()->CellText(0, kColName), "D:\\Drop");
  EXPECT_EQ(View()->CellText(0, kColMode), "Hidden");
  EXPECT_EQ(lockDb.GetCountLock(), 1);
}


TEST_F(LockViewTest, ACommandTheLockDatabaseRefusesSaysSoAndChangesNothing) {
  AddLock("\\Data", u"Boss");
  ASSERT_TRUE(StartAs("Boss", "pw"));
  View()->SelectRows({0});
  console_test::DatabaseHolder holder((machine.Folder('C') / "Windows" / "Application Data" / "NB" / "lock").string());
  ASSERT_TRUE(holder.Holding());
  Frame()->Action(kCmdPause)->trigger();
  ASSERT_EQ(boxes.Shown().size(), 1u);
  EXPECT_EQ(QString::fromStdU16String(boxes.Shown()[0].text), ConsoleText(kStrStoreFailed));
  EXPECT_EQ(boxes.Shown()[0].Icon(), static_cast<UINT>(MB_ICONERROR));
  EXPECT_EQ(View()->CellText(0, kColStatus), "Running") << "nothing changed";
}

TEST_F(LockViewTest, UnlockAsksOnceForSeveralRows) {
  AddLock("\\One", u"Boss");
  AddLock("\\Two", u"Boss");
  ASSERT_TRUE(StartAs("Boss", "pw"));
  View()->SelectRows({0, 1});
  boxes.Answer(IDYES);
  Frame()->Action(kCmdUnlock)->trigger();
  ASSERT_EQ(boxes.Shown().size(), 1u);
  EXPECT_EQ(QString::fromStdU16String(boxes.Shown()[0].text), ConsoleText(kStrConfirmUnlock));
  EXPECT_EQ(View()->RowCount(), 0);
  EXPECT_EQ(lockDb.GetCountLock(), 0);
  EXPECT_EQ(Enabled(), std::vector<UINT>({kCmdLock}));
}

TEST_F(LockViewTest, ViewModesCarryTheRadioMarkAndKeepTheCommands) {
  AddLock("\\Data", u"Boss");
  ASSERT_TRUE(StartAs("Boss", "pw"));
  EXPECT_TRUE(Frame()->Action(kCmdDetails)->isChecked());
  for (UINT mode : {kCmdTitles, kCmdIcons, kCmdList, kCmdDetails}) {
    Frame()->Action(mode)->trigger();
    EXPECT_EQ(View()->ViewMode(), mode);
    for (UINT other : {kCmdTitles, kCmdIcons, kCmdList, kCmdDetails})
      EXPECT_EQ(Frame()->Action(other)->isChecked(), other == mode) << mode << " " << other;
  }
  // A click in an icon view selects the row's first cell only.
  Frame()->Action(kCmdList)->trigger();
  auto* icons = View()->findChild<QListView*>("Icons");
  ASSERT_NE(icons, nullptr);
  icons->selectionModel()->select(icons->model()->index(0, 0), QItemSelectionModel::ClearAndSelect);
  EXPECT_EQ(Enabled(), std::vector<UINT>({kCmdUnlock, kCmdProperties, kCmdPause, kCmdReadOnly}));
}

}  // namespace
}  // namespace app_test

namespace app_test {
namespace {

using namespace nb::console;

class FrameToolBarTest : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    AddAccount(u"Boss", u"pw", 1);
    AddLock("\\Data", u"Boss");
    ASSERT_TRUE(StartAs("Boss", "pw"));
  }
};

TEST_F(FrameToolBarTest, TheToolBarShowsLabelsAndPicturesAndFollowsTheCommands) {
  CToolBarEx* toolBar = Frame()->ToolBar();
  ASSERT_NE(toolBar, nullptr);
  EXPECT_EQ(toolBar->GetTextOptions(), kTextBelow);
  const std::pair<UINT, const char*> labels[] = {{kCmdChangePassword, "Password"}, {kCmdLock, "Lock"},
                                                 {kCmdReadOnly, "Read only"}, {kCmdViewMenu, "View"},
                                                 {kCmdAdministrator, "Administrator"}};
  for (const auto& [id, label] : labels) {
    QToolButton* button = toolBar->ButtonOf(id);
    ASSERT_NE(button, nullptr) << id;
    EXPECT_EQ(button->text(), label);
    EXPECT_EQ(button->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
    EXPECT_FALSE(button->icon().isNull()) << "image of " << id << " from the module's strip";
  }
  View()->SelectRows({});
  EXPECT_TRUE(toolBar->ButtonOf(kCmdLock)->isEnabled());
  EXPECT_FALSE(toolBar->ButtonOf(kCmdUnlock)->isEnabled());
  View()->SelectRows({0});
  EXPECT_FALSE(toolBar->ButtonOf(kCmdLock)->isEnabled());
  EXPECT_TRUE(toolBar->ButtonOf(kCmdUnlock)->isEnabled());
}

TEST_F(FrameToolBarTest, TheViewButtonDropsDownTheViewMenu) {
  QToolButton* view = Frame()->ToolBar()->ButtonOf(kCmdViewMenu);
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view->popupMode(), QToolButton::InstantPopup) << "the whole button opens the menu";
  ASSERT_NE(view->menu(), nullptr);
  QStringList items;
  for (QAction* action : view->menu()->actions()) items << action->objectName();
  EXPECT_EQ(items, QStringList({"32791", "32792", "32793", "32794"}));
}

TEST_F(FrameToolBarTest, AToolBarButtonRunsTheCommandOfItsAction) {
  View()->SelectRows({0});
  Frame()->ToolBar()->ButtonOf(kCmdPause)->click();
  EXPECT_EQ(View()->CellText(0, kColStatus), "Pause");
}

}  // namespace
}  // namespace app_test
