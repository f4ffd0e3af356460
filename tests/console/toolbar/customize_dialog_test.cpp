// The customization dialog driven through its controls: add, remove, move, reset, and the
// toolbar's refusal to remove a hidden button.
#include <QListWidget>
#include <QPushButton>

#include <algorithm>

#include "customize_dialog.h"
#include "toolbar_fixture.h"

namespace nb::console::testing {
namespace {

class CustomizeDialogTest : public ToolBarFixture {
 protected:
  void SetUp() override {
    ToolBarFixture::SetUp();
    dialog = std::make_unique<CCustomizeDialog>(*toolbar, toolbar);
    available = dialog->findChild<QListWidget*>("available");
    current = dialog->findChild<QListWidget*>("current");
    ASSERT_NE(available, nullptr);
    ASSERT_NE(current, nullptr);
  }
  void TearDown() override {
    dialog.reset();
    ToolBarFixture::TearDown();
  }
  QPushButton* Button(const char* name) const {
    auto* button = dialog->findChild<QPushButton*>(name);
    EXPECT_NE(button, nullptr) << name;
    return button;
  }
  int RowOf(QListWidget* list, const QString& text) const {
    for (int row = 0; row < list->count(); ++row) {
      if (list->item(row)->text() == text) return row;
    }
    return -1;
  }
  int IndexOn(UINT command) const {
    std::vector<UINT> commands = CommandsOn(*toolbar);
    auto found = std::find(commands.begin(), commands.end(), command);
    return found == commands.end() ? -1 : static_cast<int>(found - commands.begin());
  }

  std::unique_ptr<CCustomizeDialog> dialog;
  QListWidget* available = nullptr;
  QListWidget* current = nullptr;
};

TEST_F(CustomizeDialogTest, ListsTheCurrentButtonsAndASeparator) {
  EXPECT_EQ(current->count(), static_cast<int>(kResourceButtons.size()));
  EXPECT_EQ(current->item(3)->text(), "Lock");
  // Every resource button is on the bar: only the separator is available.
  EXPECT_EQ(available->count(), 1);
  EXPECT_FALSE(dialog->windowFlags() & Qt::WindowContextHelpButtonHint);
  for (const char* name : {"add", "remove", "moveUp", "moveDown", "reset", "close"}) Button(name);
}

TEST_F(CustomizeDialogTest, RemoveAndAddBackKeepTheLabel) {
  current->setCurrentRow(RowOf(current, "Lock"));
  Button("remove")->click();
  EXPECT_EQ(IndexOn(32777), -1);
  EXPECT_EQ(toolbar->ButtonOf(32777), nullptr);
  int row = RowOf(available, "Lock");
  ASSERT_GE(row, 0);

  available->setCurrentRow(row);
  current->setCurrentRow(0);
  Button("add")->click();
  EXPECT_EQ(IndexOn(32777), 0);
  ASSERT_NE(toolbar->ButtonOf(32777), nullptr);
  EXPECT_EQ(toolbar->ButtonOf(32777)->text(), "Lock");
  EXPECT_EQ(toolbar->ButtonOf(32777)->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
  EXPECT_EQ(RowOf(available, "Lock"), -1);
}

TEST_F(CustomizeDialogTest, AddsSeparatorsAtTheEndWithoutACurrentRow) {
  current->setCurrentRow(-1);
  available->setCurrentRow(0);
  Button("add")->click();
  std::vector<UINT> commands = CommandsOn(*toolbar);
  ASSERT_EQ(commands.size(), kResourceButtons.size() + 1);
  EXPECT_EQ(commands.back(), 0u);
  EXPECT_EQ(available->count(), 1);  // the separator stays available
}

TEST_F(CustomizeDialogTest, MovesButtonsUpAndDown) {
  current->setCurrentRow(1);
  Button("moveUp")->click();
  std::vector<UINT> commands = CommandsOn(*toolbar);
  EXPECT_EQ(commands[0], 32773u);
  EXPECT_EQ(commands[1], 32771u);
  EXPECT_EQ(current->currentRow(), 0);
  EXPECT_FALSE(Button("moveUp")->isEnabled());
  Button("moveDown")->click();
  EXPECT_EQ(CommandsOn(*toolbar), kResourceButtons);
  current->setCurrentRow(current->count() - 1);
  EXPECT_FALSE(Button("moveDown")->isEnabled());
}

TEST_F(CustomizeDialogTest, ResetRestoresTheResourceButtons) {
  current->setCurrentRow(0);
  Button("remove")->click();
  Button("remove")->click();
  current->setCurrentRow(4);
  Button("moveUp")->click();
  available->setCurrentRow(0);
  Button("add")->click();
  ASSERT_NE(CommandsOn(*toolbar), kResourceButtons);
  Button("reset")->click();
  EXPECT_EQ(CommandsOn(*toolbar), kResourceButtons);
  EXPECT_EQ(current->count(), static_cast<int>(kResourceButtons.size()));
  EXPECT_EQ(available->count(), 1);
  // A reset re-applies "no labels".
  EXPECT_EQ(toolbar->GetTextOptions(), kTextNone);
  EXPECT_EQ(toolbar->ButtonOf(32777)->toolButtonStyle(), Qt::ToolButtonIconOnly);
}

TEST_F(CustomizeDialogTest, AHiddenButtonCannotBeRemoved) {
  frameActions[32779]->setVisible(false);
  dialog->Refill();
  current->setCurrentRow(IndexOn(32779));
  EXPECT_FALSE(Button("remove")->isEnabled());
  dialog->Remove();
  EXPECT_NE(IndexOn(32779), -1);
  frameActions[32779]->setVisible(true);
  current->setCurrentRow(0);
  current->setCurrentRow(IndexOn(32779));
  EXPECT_TRUE(Button("remove")->isEnabled());
}

TEST_F(CustomizeDialogTest, ExtraButtonsAreOffered) {
  ToolButton extra;
  extra.command = 32790;
  extra.image = 2;
  toolbar->SetButtons(kMainToolBarButtons, std::span<const ToolButton>(&extra, 1));
  toolbar->SetTextOptions(kTextBelow);
  dialog->Refill();
  ASSERT_EQ(available->count(), 2);
  EXPECT_EQ(available->item(1)->text(), "Lock");  // 32790 shares the label of 32777
  available->setCurrentRow(1);
  current->setCurrentRow(0);
  size_t pool = toolbar->Model().StringPool().size();
  Button("add")->click();
  EXPECT_EQ(IndexOn(32790), 0);
  EXPECT_EQ(toolbar->Model().StringPool().size(), pool);
  EXPECT_EQ(toolbar->ButtonOf(32790)->text(), "Lock");
  // Its action is missing in the frame: shown but disabled.
  EXPECT_FALSE(toolbar->ButtonOf(32790)->isEnabled());
}

}  // namespace
}  // namespace nb::console::testing
