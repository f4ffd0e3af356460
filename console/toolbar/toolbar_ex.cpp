// CToolBarEx: the model's buttons shown as QToolButtons over proxy actions that follow the
// frame's actions, with images from bitmap strips, drop-down menus and fly-by prompts.
#include "toolbar_ex.h"

#include <QAction>
#include <QCoreApplication>
#include <QStatusTipEvent>
#include <QEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QToolButton>

#include "customize_dialog.h"
#include "image_strip.h"

namespace nb::console {

namespace {

QString QStringOf(const std::u16string& text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

const char kCommandProperty[] = "nbCommand";

}  // namespace

CToolBarEx::CToolBarEx(QWidget* parent, StringLoader strings) : QToolBar(parent), model_(std::move(strings)) {
  setObjectName(QStringLiteral("toolbar"));
  setMovable(true);
  setFloatable(true);
  setAllowedAreas(Qt::AllToolBarAreas);
  setToolButtonStyle(Qt::ToolButtonIconOnly);
  model_.SetHasButtonText([this](UINT command) { return HasButtonText(command); });
  // The frame stays the parent while the bar floats, so its actions are found from there.
  actionLookup_ = [this](UINT command) -> QAction* {
    QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr;
    return owner ? owner->findChild<QAction*>(QString::number(command)) : nullptr;
  };
}

CToolBarEx::~CToolBarEx() = default;

void CToolBarEx::SetStringLoader(StringLoader strings) { model_.SetStringLoader(std::move(strings)); }

void CToolBarEx::SetActionLookup(std::function<QAction*(UINT)> lookup) {
  actionLookup_ = std::move(lookup);
  SyncProxies();
}

void CToolBarEx::SetMenuProvider(std::function<QMenu*(UINT, int)> provider) {
  menuProvider_ = std::move(provider);
  ApplyStyles();
}

void CToolBarEx::SetPromptHandler(std::function<void(const QString&)> handler) { promptHandler_ = std::move(handler); }

void CToolBarEx::SetButtons(std::span<const UINT> ids, std::span<const ToolButton> extra) {
  std::vector<ToolButton> buttons = ButtonsFromIds(ids);
  model_.SetButtons(buttons, extra);
  // Labels, prompts and tool tips come from the string loader, which may have changed.
  SyncProxies();
  Rebuild();
}

bool CToolBarEx::LoadImages(HMODULE module, IconOption option, UINT normalId, UINT disabledId, UINT hotId,
                            int imageWidth) {
  auto load = [&](UINT id) {
    std::vector<QPixmap> pixmaps;
    for (const QImage& image : SplitStrip(LoadBitmapResource(module, id), imageWidth)) {
      pixmaps.push_back(QPixmap::fromImage(image));
    }
    return pixmaps;
  };
  std::vector<QPixmap> normal = load(normalId);
  if (normal.empty()) return false;
  Images& images = images_[option == kIconLarge ? 1 : 0];
  images.normal = std::move(normal);
  images.disabled = load(disabledId);
  images.hot = load(hotId);
  SyncProxies();
  ApplyStyles();
  return true;
}

void CToolBarEx::SetTextOptions(int option, bool relayout) {
  model_.SetTextOption(option);
  ApplyStyles();
  if (relayout) Relayout();
}

void CToolBarEx::SetIconOptions(int option, bool relayout) {
  model_.SetIconOption(option);
  SyncProxies();
  ApplyStyles();
  if (relayout) Relayout();
}

// A docked bar tells the frame's layout its new size; a floating one resizes itself.
void CToolBarEx::Relayout() {
  updateGeometry();
  if (isFloating()) adjustSize();
}

void CToolBarEx::AddDropDown(UINT command, UINT menuId, int submenu, bool separateArrow) {
  model_.DropDowns().Add(command, menuId, submenu);
  model_.SetDropDownStyle(command, separateArrow);
  ownMenus_.erase(command);
  ApplyStyles();
}

void CToolBarEx::AddDropDown(UINT command, QMenu* menu, bool separateArrow) {
  model_.DropDowns().Add(command, 0, -1);
  model_.SetDropDownStyle(command, separateArrow);
  ownMenus_[command] = menu;
  ApplyStyles();
}

QMenu* CToolBarEx::MenuOf(UINT command) const {
  auto own = ownMenus_.find(command);
  if (own != ownMenus_.end()) return own->second.data();
  const DropDownTable::Entry* entry = model_.DropDowns().Find(command);
  if (!entry || !menuProvider_) return nullptr;
  return menuProvider_(entry->menu, entry->submenu);
}

QAction* CToolBarEx::ActionOf(UINT command) const { return actionLookup_ ? actionLookup_(command) : nullptr; }

QAction* CToolBarEx::ProxyOf(const ToolButton& button) {
  auto found = proxies_.find(button.command);
  if (found != proxies_.end()) return found->second;
  auto* proxy = new QAction(this);
  proxy->setObjectName(QStringLiteral("button%1").arg(button.command));
  proxy->setProperty(kCommandProperty, button.command);
  const UINT command = button.command;
  connect(proxy, &QAction::triggered, this, [this, command] {
    QAction* action = ActionOf(command);
    if (action && action->isEnabled()) action->trigger();
  });
  proxies_.emplace(command, proxy);
  SyncProxy(command);
  return proxy;
}

// Copies the frame action's state and the command's texts and image to its proxy, and
// follows later changes of the action.
void CToolBarEx::SyncProxy(UINT command) {
  auto found = proxies_.find(command);
  if (found == proxies_.end()) return;
  QAction* proxy = found->second;
  const ButtonEntry* entry = model_.EntryOf(command);
  QString label = entry ? QStringOf(entry->label) : QString();
  QString prompt;
  if (QAction* action = ActionOf(command)) {
    // One connection per action: a rebind drops the connection to a former action.
    QPointer<QAction>& bound = bound_[command];
    if (bound != action) {
      if (bound) disconnect(bound, nullptr, this, nullptr);
      connect(action, &QAction::changed, this, [this, command] { SyncProxy(command); });
      bound = action;
    }
    model_.SetCommandState(command, action->isEnabled(), !action->isVisible());
    proxy->setEnabled(action->isEnabled());
    proxy->setVisible(action->isVisible());
    proxy->setCheckable(action->isCheckable());
    proxy->setChecked(action->isChecked());
  } else {
    model_.SetCommandState(command, false, false);
    proxy->setEnabled(false);
    proxy->setVisible(true);
  }
  prompt = QStringOf(model_.PromptOfCommand(command));
  proxy->setText(label);
  proxy->setToolTip(label);
  proxy->setIcon(entry ? BuildIcon(entry->button.image) : QIcon());
  proxy->setStatusTip(prompt);
}

void CToolBarEx::SyncProxies() {
  for (const auto& entry : proxies_) SyncProxy(entry.first);
}

void CToolBarEx::Rebuild() {
  QList<QAction*> former = actions();
  clear();
  for (QAction* action : former) {
    if (action->isSeparator() && action->parent() == this) delete action;
  }
  for (const ToolButton& button : model_.Current()) {
    if (button.IsSeparator()) {
      addSeparator();
      continue;
    }
    QAction* proxy = ProxyOf(button);
    addAction(proxy);
    if (QWidget* widget = widgetForAction(proxy)) {
      widget->setObjectName(proxy->objectName());
      widget->installEventFilter(this);
    }
  }
  ApplyStyles();
}

QIcon CToolBarEx::BuildIcon(int image) const {
  const Images& images = images_[model_.GetIconOption() == kIconLarge ? 1 : 0];
  if (image < 0 || static_cast<size_t>(image) >= images.normal.size()) return {};
  size_t at = static_cast<size_t>(image);
  QIcon icon;
  icon.addPixmap(images.normal[at], QIcon::Normal);
  if (at < images.disabled.size()) icon.addPixmap(images.disabled[at], QIcon::Disabled);
  if (at < images.hot.size()) icon.addPixmap(images.hot[at], QIcon::Active);
  return icon;
}

// Tool button styles, icon size and drop-down menus from the model.
void CToolBarEx::ApplyStyles() {
  const Images& images = images_[model_.GetIconOption() == kIconLarge ? 1 : 0];
  ImageSize size = model_.BitmapSize();
  QSize iconSize = images.normal.empty() ? QSize(size.width, size.height) : images.normal.front().size();
  setIconSize(iconSize);
  const TextOption option = model_.GetTextOption();
  Qt::ToolButtonStyle textStyle = option == kTextBelow ? Qt::ToolButtonTextUnderIcon : Qt::ToolButtonTextBesideIcon;
  setToolButtonStyle(option == kTextNone ? Qt::ToolButtonIconOnly : textStyle);
  for (const ToolButton& button : model_.Current()) {
    if (button.IsSeparator()) continue;
    auto found = proxies_.find(button.command);
    if (found == proxies_.end()) continue;
    auto* widget = qobject_cast<QToolButton*>(widgetForAction(found->second));
    if (!widget) continue;
    widget->setToolButtonStyle(model_.ShowsText(button) ? textStyle : Qt::ToolButtonIconOnly);
    widget->setIconSize(iconSize);
    if (button.style & (kStyleDropDown | kStyleWholeDropDown)) {
      widget->setMenu(MenuOf(button.command));
      widget->setPopupMode((button.style & kStyleDropDown) ? QToolButton::MenuButtonPopup
                                                           : QToolButton::InstantPopup);
    } else {
      widget->setMenu(nullptr);
      widget->setPopupMode(QToolButton::DelayedPopup);
    }
  }
}

void CToolBarEx::Customize() {
  if (dialog_) return;
  CCustomizeDialog dialog(*this, this);
  dialog_ = &dialog;
  dialog.exec();
  dialog_ = nullptr;
}

QToolButton* CToolBarEx::ButtonOf(UINT command) const {
  if (model_.CommandToIndex(command) < 0) return nullptr;
  auto found = proxies_.find(command);
  return found == proxies_.end() ? nullptr : qobject_cast<QToolButton*>(widgetForAction(found->second));
}

bool CToolBarEx::QueryInsert(int index) { return model_.QueryInsert(index); }
bool CToolBarEx::QueryDelete(int index) { return model_.QueryDelete(index); }
std::optional<ButtonEntry> CToolBarEx::GetButtonInfo(int index) { return model_.GetButtonInfo(index); }
std::vector<ToolButton> CToolBarEx::CurrentButtons() const { return model_.Current(); }

QString CToolBarEx::LabelOf(const ToolButton& button) const {
  if (button.IsSeparator()) return QStringLiteral("\u2500\u2500\u2500\u2500\u2500\u2500");
  const ButtonEntry* entry = model_.EntryOf(button.command);
  return entry ? QStringOf(entry->label) : QString::number(button.command);
}

QIcon CToolBarEx::IconOf(const ToolButton& button) const {
  return button.IsSeparator() ? QIcon() : BuildIcon(button.image);
}

bool CToolBarEx::InsertButton(int index, const ToolButton& button) {
  if (!model_.InsertButton(index, button)) return false;
  Rebuild();
  return true;
}

bool CToolBarEx::DeleteButton(int index) {
  if (!model_.DeleteButton(index)) return false;
  Rebuild();
  return true;
}

bool CToolBarEx::MoveButton(int from, int to) {
  if (!model_.MoveButton(from, to)) return false;
  Rebuild();
  return true;
}

void CToolBarEx::Reset() {
  model_.Reset();
  Rebuild();
  Relayout();
}

void CToolBarEx::ToolBarChange() {
  model_.ToolBarChange();
  Rebuild();
  Relayout();
}

bool CToolBarEx::HasButtonText(UINT) const { return true; }

void CToolBarEx::showEvent(QShowEvent* event) {
  // Actions the frame created after the buttons were set are bound now.
  SyncProxies();
  QToolBar::showEvent(event);
}

void CToolBarEx::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    event->accept();
    Customize();
    return;
  }
  QToolBar::mouseDoubleClickEvent(event);
}

// Qt paints the bar; a docked bar gets the one-pixel border of a flat bar on top: highlight
// on the left and top, shadow on the right and bottom.
void CToolBarEx::paintEvent(QPaintEvent* event) {
  QToolBar::paintEvent(event);
  if (isFloating()) return;
  QPainter painter(this);
  QRect area = rect().adjusted(0, 0, -1, -1);
  painter.setPen(palette().color(QPalette::Light));
  painter.drawLine(area.topLeft(), area.topRight());
  painter.drawLine(area.topLeft(), area.bottomLeft());
  painter.setPen(palette().color(QPalette::Dark));
  painter.drawLine(area.topRight(), area.bottomRight());
  painter.drawLine(area.bottomLeft(), area.bottomRight());
}

bool CToolBarEx::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Enter || event->type() == QEvent::Leave) {
    QVariant command = watched->property(kCommandProperty);
    if (auto* button = qobject_cast<QToolButton*>(watched); button && button->defaultAction()) {
      command = button->defaultAction()->property(kCommandProperty);
    }
    if (command.isValid()) {
      QString prompt;
      if (event->type() == QEvent::Enter) {
        auto found = proxies_.find(command.toUInt());
        if (found != proxies_.end()) prompt = found->second->statusTip();
      }
      // The status bar of a main window shows the prompt; the handler hears it too.
      QStatusTipEvent tip(prompt);
      QCoreApplication::sendEvent(this, &tip);
      if (promptHandler_) promptHandler_(prompt);
    }
  }
  return QToolBar::eventFilter(watched, event);
}

}  // namespace nb::console
