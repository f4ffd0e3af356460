// CToolBarEx offscreen: buttons follow the frame's actions, text and icon options reach the
// tool buttons, drop-downs, fly-by prompts and the double click that opens customization.
#include <QApplication>
#include <QEnterEvent>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

#include "customize_dialog.h"
#include "toolbar_fixture.h"

namespace nb::console::testing {
namespace {

using ToolBarWidget = ToolBarFixture;

TEST_F(ToolBarWidget, ShowsTheResourceButtonsWithTheirLabels) {
  EXPECT_EQ(CommandsOn(*toolbar), kResourceButtons);
  EXPECT_EQ(toolbar->objectName(), "toolbar");
  EXPECT_TRUE(toolbar->isMovable());
  EXPECT_EQ(toolbar->allowedAreas(), Qt::AllToolBarAreas);
  QToolButton* lock = toolbar->ButtonOf(32777);
  ASSERT_NE(lock, nullptr);
  EXPECT_EQ(lock->objectName(), "button32777");
  EXPECT_EQ(lock->text(), "Lock");
  EXPECT_EQ(lock->toolTip(), "Lock");
  EXPECT_TRUE(lock->autoRaise());  // flat
}

TEST_F(ToolBarWidget, ButtonsFollowAndTriggerTheFrameActions) {
  QToolButton* unlock = toolbar->ButtonOf(32778);
  ASSERT_NE(unlock, nullptr);
  QSignalSpy triggered(frameActions[32778], &QAction::triggered);
  frameActions[32778]->setEnabled(false);
  EXPECT_FALSE(unlock->isEnabled());
  unlock->click();
  EXPECT_EQ(triggered.count(), 0);
  frameActions[32778]->setEnabled(true);
  EXPECT_TRUE(unlock->isEnabled());
  unlock->click();
  EXPECT_EQ(triggered.count(), 1);

  frame->show();
  frameActions[32779]->setVisible(false);
  QApplication::processEvents();  // the bar's layout shows and hides its buttons
  EXPECT_FALSE(toolbar->ButtonOf(32779)->isVisible());
  frameActions[32779]->setVisible(true);
  QApplication::processEvents();
  EXPECT_TRUE(toolbar->ButtonOf(32779)->isVisible());
}

TEST_F(ToolBarWidget, ACommandWithoutAnActionStaysDisabled) {
  delete frameActions[32776];
  frameActions.erase(32776);
  auto* bar = MakeToolBar();
  EXPECT_FALSE(bar->ButtonOf(32776)->isEnabled());
  EXPECT_TRUE(bar->ButtonOf(32775)->isEnabled());
}

class NoRefreshText : public CToolBarEx {
 public:
  using CToolBarEx::CToolBarEx;

 protected:
  bool HasButtonText(UINT command) const override { return command != 32773; }
};

TEST_F(ToolBarWidget, TextOptionsSetTheToolButtonStyles) {
  auto* bar = MakeToolBar<NoRefreshText>();
  struct Case {
    int option;
    Qt::ToolButtonStyle lock, refresh;
  };
  const Case cases[] = {
      {kTextBelow, Qt::ToolButtonTextUnderIcon, Qt::ToolButtonTextUnderIcon},
      {kTextRight, Qt::ToolButtonTextBesideIcon, Qt::ToolButtonIconOnly},
      {kTextNone, Qt::ToolButtonIconOnly, Qt::ToolButtonIconOnly},
      {kTextBelow, Qt::ToolButtonTextUnderIcon, Qt::ToolButtonTextUnderIcon},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.option);
    bar->SetTextOptions(c.option);
    EXPECT_EQ(bar->GetTextOptions(), c.option);
    EXPECT_EQ(bar->ButtonOf(32777)->toolButtonStyle(), c.lock);
    EXPECT_EQ(bar->ButtonOf(32773)->toolButtonStyle(), c.refresh);
  }
  // Switching labels off and on again did not grow the string pool.
  size_t pool = bar->Model().StringPool().size();
  bar->SetTextOptions(kTextNone);
  bar->SetTextOptions(kTextBelow);
  EXPECT_EQ(bar->Model().StringPool().size(), pool);
}

TEST_F(ToolBarWidget, IconOptionsSetTheIconSizes) {
  QToolButton* lock = toolbar->ButtonOf(32777);
  EXPECT_EQ(toolbar->iconSize(), QSize(16, 16));
  EXPECT_EQ(lock->iconSize(), QSize(16, 16));
  QSize small = lock->sizeHint();
  toolbar->SetIconOptions(kIconLarge);
  EXPECT_EQ(toolbar->GetIconOptions(), kIconLarge);
  EXPECT_EQ(toolbar->iconSize(), QSize(24, 24));
  EXPECT_EQ(lock->iconSize(), QSize(24, 24));
  EXPECT_GT(lock->sizeHint().height(), small.height());
  toolbar->SetIconOptions(kIconSmall);
  EXPECT_EQ(lock->iconSize(), QSize(16, 16));

  // Without image lists the option's own sizes apply.
  CToolBarEx bare(frame.get(), [this](UINT id) { return Text(id); });
  bare.SetButtons(kMainToolBarButtons);
  EXPECT_EQ(bare.iconSize(), QSize(16, 15));
  bare.SetIconOptions(kIconLarge);
  EXPECT_EQ(bare.iconSize(), QSize(24, 24));
}

TEST_F(ToolBarWidget, ButtonImagesComeFromTheStripsMasked) {
  // Image 0 is red in the normal strip and grey in the disabled one; its border has the
  // strip's first pixel's colour and is transparent.
  QIcon icon = toolbar->ButtonOf(32771)->icon();
  QImage normal = icon.pixmap(QSize(16, 16), QIcon::Normal).toImage();
  ASSERT_EQ(normal.size(), QSize(16, 16));
  EXPECT_EQ(normal.pixelColor(8, 8), QColor(200, 0, 0));
  EXPECT_EQ(normal.pixelColor(0, 0).alpha(), 0);
  QImage disabled = icon.pixmap(QSize(16, 16), QIcon::Disabled).toImage();
  EXPECT_EQ(disabled.pixelColor(8, 8), QColor(66, 66, 66));
  // Image 1 (Refresh) is green.
  EXPECT_EQ(toolbar->ButtonOf(32773)->icon().pixmap(QSize(16, 16)).toImage().pixelColor(8, 8), QColor(0, 160, 0));
  // Beyond the strip's four images a button has no image.
  EXPECT_TRUE(toolbar->ButtonOf(32776)->icon().isNull());
}

TEST_F(ToolBarWidget, LoadingAMissingStripChangesNothing) {
  EXPECT_FALSE(toolbar->LoadImages(module, kIconSmall, 999, 144, 0, 16));
  EXPECT_FALSE(toolbar->LoadImages(module, kIconSmall, 145, 144, 0, 0));
  EXPECT_FALSE(toolbar->LoadImages(nullptr, kIconSmall, 145, 144, 0, 16));
  EXPECT_EQ(toolbar->ButtonOf(32771)->icon().pixmap(QSize(16, 16)).toImage().pixelColor(8, 8), QColor(200, 0, 0));
}

TEST_F(ToolBarWidget, DropDownsOpenTheirMenus) {
  QMenu own;
  toolbar->AddDropDown(32772, &own);
  QToolButton* view = toolbar->ButtonOf(32772);
  EXPECT_EQ(view->popupMode(), QToolButton::InstantPopup);
  EXPECT_EQ(view->menu(), &own);

  // By menu id and submenu through the frame's provider; the latest entry wins.
  QMenu menus[2];
  toolbar->SetMenuProvider([&menus](UINT menuId, int submenu) -> QMenu* {
    return menuId == 128 && (submenu == 2 || submenu == 3) ? &menus[submenu - 2] : nullptr;
  });
  toolbar->AddDropDown(32772, 128, 2);
  EXPECT_EQ(view->menu(), &menus[0]);
  toolbar->AddDropDown(32772, 128, 3, true);
  EXPECT_EQ(view->menu(), &menus[1]);
  EXPECT_EQ(view->popupMode(), QToolButton::MenuButtonPopup);
  // Other buttons are plain.
  EXPECT_EQ(toolbar->ButtonOf(32777)->menu(), nullptr);
  // The drop-down survives a reset of the buttons.
  toolbar->Reset();
  EXPECT_EQ(toolbar->ButtonOf(32772)->menu(), &menus[1]);
}

TEST_F(ToolBarWidget, AMenuDeletedByItsOwnerIsDropped) {
  auto* menu = new QMenu;
  toolbar->AddDropDown(32772, menu);
  delete menu;
  toolbar->SetTextOptions(kTextRight);
  EXPECT_EQ(toolbar->ButtonOf(32772)->menu(), nullptr);
}

TEST_F(ToolBarWidget, HoverGivesTheCommandPrompt) {
  std::vector<QString> prompts;
  toolbar->SetPromptHandler([&prompts](const QString& prompt) { prompts.push_back(prompt); });
  frame->statusBar();  // a main window shows status tips only once it has a status bar
  frame->show();
  QToolButton* lock = toolbar->ButtonOf(32777);
  QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), lock->mapToGlobal(QPointF(2, 2)));
  QApplication::sendEvent(lock, &enter);
  EXPECT_EQ(frame->statusBar()->currentMessage(), "Lock Folder");
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(lock, &leave);
  EXPECT_EQ(frame->statusBar()->currentMessage(), "");
  EXPECT_EQ(prompts, (std::vector<QString>{"Lock Folder", ""}));
}

TEST_F(ToolBarWidget, DoubleClickOpensTheCustomization) {
  bool opened = false;
  QTimer::singleShot(0, [&] {
    CCustomizeDialog* dialog = toolbar->CustomizeDialog();
    opened = dialog != nullptr;
    if (dialog) dialog->findChild<QPushButton*>("close")->click();
  });
  QTest::mouseDClick(toolbar, Qt::LeftButton, {}, QPoint(toolbar->width() - 2, toolbar->height() / 2));
  EXPECT_TRUE(opened);
  EXPECT_EQ(toolbar->CustomizeDialog(), nullptr);
}

}  // namespace
}  // namespace nb::console::testing
