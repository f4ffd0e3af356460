// CToolBarEx: the console's flat, dockable toolbar with labels, two icon sizes, drop-down
// buttons and a customization dialog opened by a double click.
#pragma once

#include <QIcon>
#include <QPointer>
#include <QToolBar>

#include <functional>
#include <map>
#include <span>

#include <windows.h>

#include "customize_target.h"
#include "toolbar_model.h"

class QAction;
class QMenu;
class QToolButton;

namespace nb::console {

// Toolbar resource 128 of the console: command ids in order, 0 for a separator.
inline constexpr UINT kMainToolBarButtons[] = {32771, 32773, 0,     32777, 32778, 32779, 32780, 32781,
                                               32782, 32783, 0,     32772, 32775, 0,     32776};

class CCustomizeDialog;

// How the frame sets one up:
//   auto* bar = new CToolBarEx(frame, strings);      // strings: prompt string by id
//   bar->SetButtons(kMainToolBarButtons);
//   bar->LoadImages(module, kIconSmall, 145, 144, 0, 16);
//   bar->LoadImages(module, kIconLarge, 147, 146, 0, 24);
//   bar->SetTextOptions(kTextBelow);
//   bar->AddDropDown(32772, viewMenu);                 // the whole View button opens it
//   frame->addToolBar(Qt::TopToolBarArea, bar);
class CToolBarEx : public QToolBar, public CustomizeTarget {
 public:
  // A flat, movable toolbar with tool tips, docked at the top by default and allowed on every
  // side (the frame decides where it docks). Its objectName is "toolbar".
  explicit CToolBarEx(QWidget* parent = nullptr, StringLoader strings = {});
  ~CToolBarEx() override;

  // Prompt strings by command id ("Lock Folder\nLock").
  void SetStringLoader(StringLoader strings);
  // The frame's action of a command id. By default: the QAction among the window's children
  // whose objectName is the id in decimal. A button follows its action's enabled and visible
  // state and triggers it when pressed; a command without an action stays disabled.
  // Actions are looked up again whenever the bar is shown.
  void SetActionLookup(std::function<QAction*(UINT)> lookup);

  // The toolbar's buttons (0 = separator; images numbered over the non-separators) and the
  // extra buttons the customization offers besides them. Applies text option 2 and icon
  // option 0 (the frame then sets text option 0).
  void SetButtons(std::span<const UINT> ids, std::span<const ToolButton> extra = {});

  // Image lists of an icon option from bitmap strips of a resource module: images of
  // `imageWidth` pixels side by side, masked with the colour of the strip's first pixel.
  // Ids of 0 mean none. False (and nothing changed) when the normal strip is missing or
  // cannot be read.
  bool LoadImages(HMODULE module, IconOption option, UINT normalId, UINT disabledId, UINT hotId, int imageWidth);

  void SetTextOptions(int option, bool relayout = true);
  TextOption GetTextOptions() const { return model_.GetTextOption(); }
  void SetIconOptions(int option, bool relayout = true);
  IconOption GetIconOptions() const { return model_.GetIconOption(); }

  // A drop-down button (after SetButtons, which starts a new table): the menu is `submenu` of menu `menuId` as the menu provider builds
  // it. With `separateArrow` clear the whole button opens the menu.
  void AddDropDown(UINT command, UINT menuId, int submenu, bool separateArrow = false);
  // The same with a menu the caller owns (kept only while it lives).
  void AddDropDown(UINT command, QMenu* menu, bool separateArrow = false);
  void SetMenuProvider(std::function<QMenu*(UINT menuId, int submenu)> provider);

  // Receives the status-bar prompt of the button under the mouse (empty when it leaves).
  // The prompt also goes out as the actions' status tip, which a QMainWindow shows itself.
  void SetPromptHandler(std::function<void(const QString&)> handler);

  // Opens the customization dialog (a double click on the toolbar does the same) and returns
  // when it is closed.
  void Customize();
  // The open customization dialog, null when none (for tests and the frame).
  CCustomizeDialog* CustomizeDialog() const { return dialog_; }

  const ToolBarModel& Model() const { return model_; }
  // The tool button of a command on the toolbar, null when it is not there.
  QToolButton* ButtonOf(UINT command) const;

  // CustomizeTarget: the customization dialog's questions.
  bool QueryInsert(int index) override;
  bool QueryDelete(int index) override;
  std::optional<ButtonEntry> GetButtonInfo(int index) override;
  std::vector<ToolButton> CurrentButtons() const override;
  QString LabelOf(const ToolButton& button) const override;
  QIcon IconOf(const ToolButton& button) const override;
  bool InsertButton(int index, const ToolButton& button) override;
  bool DeleteButton(int index) override;
  bool MoveButton(int from, int to) override;
  void Reset() override;
  void ToolBarChange() override;

 protected:
  // The has-button-text query of text option 1: whether a command's button shows its label
  // to the right of its icon. Every button does by default.
  virtual bool HasButtonText(UINT command) const;

  void showEvent(QShowEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct Images {
    std::vector<QPixmap> normal, disabled, hot;
  };

  QAction* ActionOf(UINT command) const;
  QAction* ProxyOf(const ToolButton& button);
  void SyncProxy(UINT command);
  void SyncProxies();
  void Rebuild();
  void Relayout();
  void ApplyStyles();
  QIcon BuildIcon(int image) const;
  QMenu* MenuOf(UINT command) const;

  ToolBarModel model_;
  std::function<QAction*(UINT)> actionLookup_;
  std::function<QMenu*(UINT, int)> menuProvider_;
  std::function<void(const QString&)> promptHandler_;
  std::map<UINT, QAction*> proxies_;  // one per command, owned by the toolbar
  std::map<UINT, QPointer<QAction>> bound_;  // the frame action each proxy follows
  std::map<UINT, QPointer<QMenu>> ownMenus_;
  Images images_[2];
  CCustomizeDialog* dialog_ = nullptr;  // the open dialog, which lives on Customize()'s stack
};

}  // namespace nb::console
