// The console's main window: menus, toolbar, status bar with prompts and key indicators,
// the list view in the middle, the frame's own commands, the background reload and the
// confirmed exit with the placement saved.
#pragma once

#include <QMainWindow>

#include <map>
#include <memory>
#include <string>

#include <windows.h>

#include "VAULTSdk.h"
#include "lock_list.h"
#include "placement.h"

class CNBAdminDoc;
class CNBAdminView;
class QLabel;
class QMenu;

namespace nb::console {
class ConsoleSession;
class CToolBarEx;
}

// What the frame works with, owned by the application.
struct FrameContext {
  nb::console::StringLoader strings;  // the language module's texts
  HMODULE module = nullptr;           // the language module (pictures)
  std::u16string title;               // the application title
  std::u16string helpPath;            // the help file ("X:\..." or "\\?\unix\...")
  nb::console::ConsoleSession* session = nullptr;  // exit confirmation and placement
  nb::console::Profile* profile = nullptr;
  CNBAdminDoc* doc = nullptr;
  _PWDTBL* account = nullptr;        // the logged-in account
  std::u16string userDbPath;
  int brand = 0;
};

class CMainFrame : public QMainWindow {
  Q_OBJECT

 public:
  explicit CMainFrame(FrameContext context, QWidget* parent = nullptr);
  ~CMainFrame() override;

  CNBAdminView* View() const { return view_; }
  // The action of a menu command (named by its id); null for an unknown id.
  QAction* Action(UINT id) const;
  QLabel* MessagePane() const { return message_; }
  nb::console::CToolBarEx* ToolBar() const { return toolBar_; }

  // Places the window by the saved profile values (pulled back onto the screen) or at the
  // default size, and shows it with the saved show command.
  void PlaceAndShow();
  // Where the window would be placed (for a look without showing).
  nb::console::FramePlacement Placement() const;

  // Runs a command as the menu does.
  void OnCommand(UINT id);
  // The background reload (the frame's WM_UPDATE_INFO): logs and reloads without
  // auto-start. Called on the user-interface thread.
  void OnUpdateInfo();
  // Re-reads which commands the selection and the account allow.
  void UpdateCommands();

 signals:
  // Emitted from any thread; delivered queued to OnUpdateInfo on the frame's thread.
  void updateInfo();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  QAction* MakeCommand(UINT id);
  void CreateToolBar();
  void CreateStatusBar();
  void ChangePassword();
  void Administrator();
  void About();
  void HelpContents();
  int ShowCommand() const;

  FrameContext context_;
  std::map<UINT, QAction*> actions_;
  CNBAdminView* view_ = nullptr;
  QMenu* viewMenu_ = nullptr;
  nb::console::CToolBarEx* toolBar_ = nullptr;
  QLabel* message_ = nullptr;
  std::map<int, QLabel*> indicators_;  // Qt key → indicator
  std::map<int, bool> lockStates_;
};
