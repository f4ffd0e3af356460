// The toolbar's customization dialog: two lists and the buttons that move buttons between
// them, asking the toolbar before every insert and delete.
#include "customize_dialog.h"

#include <algorithm>

#include <QCoreApplication>
#include <QGridLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace nb::console {

namespace {

QString Tr(const char* text) { return QCoreApplication::translate("CCustomizeDialog", text); }

QPushButton* NamedButton(const QString& name, const QString& text, QWidget* parent) {
  auto* button = new QPushButton(text, parent);
  button->setObjectName(name);
  button->setAutoDefault(false);
  return button;
}

}  // namespace

CCustomizeDialog::CCustomizeDialog(CustomizeTarget& target, QWidget* parent) : QDialog(parent), target_(target) {
  setObjectName(QStringLiteral("customizeToolbar"));
  setWindowTitle(Tr("Customize Toolbar"));
  // There is no help for this dialog: no context-help button in the title bar.
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);

  available_ = new QListWidget(this);
  available_->setObjectName(QStringLiteral("available"));
  current_ = new QListWidget(this);
  current_->setObjectName(QStringLiteral("current"));
  add_ = NamedButton(QStringLiteral("add"), Tr("&Add ->"), this);
  remove_ = NamedButton(QStringLiteral("remove"), Tr("<- &Remove"), this);
  moveUp_ = NamedButton(QStringLiteral("moveUp"), Tr("Move &Up"), this);
  moveDown_ = NamedButton(QStringLiteral("moveDown"), Tr("Move &Down"), this);
  reset_ = NamedButton(QStringLiteral("reset"), Tr("R&eset"), this);
  close_ = NamedButton(QStringLiteral("close"), Tr("&Close"), this);

  auto* layout = new QGridLayout(this);
  layout->addWidget(new QLabel(Tr("A&vailable toolbar buttons:"), this), 0, 0);
  layout->addWidget(new QLabel(Tr("Current &toolbar buttons:"), this), 0, 2);
  layout->addWidget(available_, 1, 0);
  auto* middle = new QVBoxLayout;
  middle->addStretch();
  middle->addWidget(add_);
  middle->addWidget(remove_);
  middle->addStretch();
  layout->addLayout(middle, 1, 1);
  layout->addWidget(current_, 1, 2);
  auto* side = new QVBoxLayout;
  side->addWidget(close_);
  side->addWidget(reset_);
  side->addStretch();
  side->addWidget(moveUp_);
  side->addWidget(moveDown_);
  layout->addLayout(side, 1, 3);

  connect(add_, &QPushButton::clicked, this, [this] { Add(); });
  connect(remove_, &QPushButton::clicked, this, [this] { Remove(); });
  connect(moveUp_, &QPushButton::clicked, this, [this] { MoveUp(); });
  connect(moveDown_, &QPushButton::clicked, this, [this] { MoveDown(); });
  connect(reset_, &QPushButton::clicked, this, [this] { ResetButtons(); });
  connect(close_, &QPushButton::clicked, this, &QDialog::accept);
  connect(available_, &QListWidget::currentRowChanged, this, [this] { UpdateButtons(); });
  connect(current_, &QListWidget::currentRowChanged, this, [this] { UpdateButtons(); });
  connect(available_, &QListWidget::itemDoubleClicked, this, [this] { Add(); });
  connect(current_, &QListWidget::itemDoubleClicked, this, [this] { Remove(); });
  Refill();
}

void CCustomizeDialog::Refill() {
  int availableRow = available_->currentRow(), currentRow = current_->currentRow();
  std::vector<ToolButton> onBar = target_.CurrentButtons();

  // A separator is always available; so is every known button not on the toolbar now.
  availableButtons_.clear();
  ToolButton separator;
  separator.style = kStyleSeparator;
  availableButtons_.push_back(separator);
  for (int index = 0;; ++index) {
    std::optional<ButtonEntry> entry = target_.GetButtonInfo(index);
    if (!entry) break;
    const ToolButton& button = entry->button;
    if (button.IsSeparator()) continue;
    bool shown = false;
    for (const ToolButton& current : onBar) shown = shown || (!current.IsSeparator() && current.command == button.command);
    if (!shown) availableButtons_.push_back(button);
  }

  available_->clear();
  for (const ToolButton& button : availableButtons_) {
    available_->addItem(new QListWidgetItem(target_.IconOf(button), target_.LabelOf(button)));
  }
  current_->clear();
  for (const ToolButton& button : onBar) {
    current_->addItem(new QListWidgetItem(target_.IconOf(button), target_.LabelOf(button)));
  }
  if (available_->count()) available_->setCurrentRow(std::clamp(availableRow, 0, available_->count() - 1));
  if (current_->count()) current_->setCurrentRow(std::clamp(currentRow, 0, current_->count() - 1));
  UpdateButtons();
}

void CCustomizeDialog::UpdateButtons() {
  int row = current_->currentRow(), count = current_->count();
  add_->setEnabled(available_->currentRow() >= 0);
  remove_->setEnabled(row >= 0 && target_.QueryDelete(row));
  moveUp_->setEnabled(row > 0);
  moveDown_->setEnabled(row >= 0 && row + 1 < count);
}

// The chosen available button goes in before the chosen current button (at the end when
// none is chosen).
void CCustomizeDialog::Add() {
  int from = available_->currentRow();
  if (from < 0 || static_cast<size_t>(from) >= availableButtons_.size()) return;
  int at = current_->currentRow();
  if (at < 0) at = current_->count();
  if (!target_.QueryInsert(at)) return;
  if (!target_.InsertButton(at, availableButtons_[static_cast<size_t>(from)])) return;
  target_.ToolBarChange();
  // The inserted button becomes the current row; the next one after it is what was chosen.
  Refill();
  current_->setCurrentRow(at);
}

void CCustomizeDialog::Remove() {
  int row = current_->currentRow();
  if (row < 0 || !target_.QueryDelete(row)) return;
  if (!target_.DeleteButton(row)) return;
  target_.ToolBarChange();
  Refill();
}

void CCustomizeDialog::MoveUp() {
  int row = current_->currentRow();
  if (row <= 0 || !target_.MoveButton(row, row - 1)) return;
  target_.ToolBarChange();
  Refill();
  current_->setCurrentRow(row - 1);
}

void CCustomizeDialog::MoveDown() {
  int row = current_->currentRow();
  if (row < 0 || row + 1 >= current_->count() || !target_.MoveButton(row, row + 1)) return;
  target_.ToolBarChange();
  Refill();
  current_->setCurrentRow(row + 1);
}

void CCustomizeDialog::ResetButtons() {
  target_.Reset();
  Refill();
}

}  // namespace nb::console
