// The toolbar's customization dialog: the available and the current buttons, Add, Remove,
// Move up, Move down, Reset and Close. Controls carry stable objectNames: "available",
// "current", "add", "remove", "moveUp", "moveDown", "reset", "close".
#pragma once

#include <QDialog>

#include <vector>

#include "customize_target.h"

class QListWidget;
class QPushButton;

namespace nb::console {

class CCustomizeDialog : public QDialog {
 public:
  explicit CCustomizeDialog(CustomizeTarget& target, QWidget* parent = nullptr);

  // The actions of the buttons, also for tests.
  void Add();
  void Remove();
  void MoveUp();
  void MoveDown();
  void ResetButtons();

  // Rereads both lists from the toolbar, keeping the selected rows where possible.
  void Refill();

 private:
  void UpdateButtons();

  CustomizeTarget& target_;
  QListWidget* available_;
  QListWidget* current_;
  QPushButton* add_;
  QPushButton* remove_;
  QPushButton* moveUp_;
  QPushButton* moveDown_;
  QPushButton* reset_;
  QPushButton* close_;
  std::vector<ToolButton> availableButtons_;
};

}  // namespace nb::console
