// The console's menu bar (menu 128) and its "Folder" submenu, also shown as the list's
// context menu: texts from the language module, actions named by their command ids.
#pragma once

#include <QKeySequence>
#include <QString>

#include <functional>
#include <vector>

#include <windows.h>

#include "console_ids.h"
#include "lock_list.h"

class QAction;
class QMenu;
class QMenuBar;
class QWidget;

namespace nb::console {

// Texts of the menu titles and items (the module's strings 200 and up).
inline constexpr UINT kStrMenuFile = 200, kStrMenuFolder = 201, kStrMenuView = 202, kStrMenuSettings = 203,
                      kStrMenuHelp = 204, kStrMenuUsage = 205, kStrMenuLockMode = 206;
inline constexpr UINT kStrOk = 228;
// The lock database could not be written: nothing changed / the driver could not be put back.
inline constexpr UINT kStrStoreFailed = 230, kStrStoreDisagrees = 231;

// One command of the menus: its id, the text of its menu item and its accelerator.
struct MenuCommand {
  UINT id;
  UINT text;
  QKeySequence key;
};
// Every command of menu 128.
const std::vector<MenuCommand>& MenuCommands();
// The menu command of an id; null for an id that has none.
const MenuCommand* FindMenuCommand(UINT id);

// The status-bar prompt of a command: the text of string `id` before its first "\n".
QString PromptOf(const StringLoader& strings, UINT id);
QString Text(const StringLoader& strings, UINT id);

// Gives the action of a command (made or found by the caller).
using ActionFor = std::function<QAction*(UINT id)>;

// Fills `menu` with the "Folder" items: Lock, Unlock, Usage (Resume, Pause), Lock Mode
// (Hidden, Read only), Properties.
void FillFolderMenu(QMenu* menu, const StringLoader& strings, const ActionFor& action);
// Fills the "View" items: Titles, Icons, List, Details.
void FillViewMenu(QMenu* menu, const StringLoader& strings, const ActionFor& action);
// Builds the whole menu bar: File, Folder, View, Settings, Help. Returns the "View" menu.
QMenu* BuildMenuBar(QMenuBar* bar, const StringLoader& strings, const ActionFor& action);

// Makes the action of a command: named by its id, with its menu text, accelerator and
// status-bar prompt.
QAction* MakeAction(QObject* parent, const StringLoader& strings, UINT id);

}  // namespace nb::console
