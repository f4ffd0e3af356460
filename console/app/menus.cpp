// The console's menus.
#include "menus.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

namespace nb::console {

const std::vector<MenuCommand>& MenuCommands() {
  static const std::vector<MenuCommand> commands = {
      {kCmdChangePassword, 210, QKeySequence(Qt::CTRL | Qt::Key_P)},
      {kCmdRefresh, 211, QKeySequence(Qt::Key_F5)},
      {kCmdExit, 212, QKeySequence(Qt::CTRL | Qt::Key_X)},
      {kCmdLock, 213, {}},
      {kCmdUnlock, 214, QKeySequence(Qt::Key_Delete)},
      {kCmdResume, 215, {}},
      {kCmdPause, 216, {}},
      {kCmdHidden, 217, {}},
      {kCmdReadOnly, 218, {}},
      {kCmdProperties, 219, {}},
      {kCmdTitles, 220, {}},
      {kCmdIcons, 221, {}},
      {kCmdList, 222, {}},
      {kCmdDetails, 223, {}},
      {kCmdDefault, 224, {}},
      {kCmdAdministrator, 225, {}},
      {kCmdHelpContents, 226, {}},
      {kCmdHelpAbout, 227, {}},
  };
  return commands;
}

const MenuCommand* FindMenuCommand(UINT id) {
  for (const MenuCommand& command : MenuCommands()) {
    if (command.id == id) return &command;
  }
  return nullptr;
}

QString Text(const StringLoader& strings, UINT id) {
  return strings ? QString::fromStdU16String(strings(id)) : QString();
}

QString PromptOf(const StringLoader& strings, UINT id) {
  QString text = Text(strings, id);
  qsizetype newline = text.indexOf('\n');
  return newline < 0 ? text : text.left(newline);
}

QAction* MakeAction(QObject* parent, const StringLoader& strings, UINT id) {
  auto* action = new QAction(parent);
  action->setObjectName(QString::number(id));
  if (const MenuCommand* command = FindMenuCommand(id)) {
    action->setText(Text(strings, command->text));
    if (!command->key.isEmpty()) action->setShortcut(command->key);
  }
  action->setStatusTip(PromptOf(strings, id));
  return action;
}

void FillFolderMenu(QMenu* menu, const StringLoader& strings, const ActionFor& action) {
  menu->addAction(action(kCmdLock));
  menu->addAction(action(kCmdUnlock));
  QMenu* usage = menu->addMenu(Text(strings, kStrMenuUsage));
  usage->addAction(action(kCmdResume));
  usage->addAction(action(kCmdPause));
  QMenu* mode = menu->addMenu(Text(strings, kStrMenuLockMode));
  mode->addAction(action(kCmdHidden));
  mode->addAction(action(kCmdReadOnly));
  menu->addAction(action(kCmdProperties));
}

void FillViewMenu(QMenu* menu, const StringLoader& /*strings*/, const ActionFor& action) {
  for (UINT id : {kCmdTitles, kCmdIcons, kCmdList, kCmdDetails}) menu->addAction(action(id));
}

QMenu* BuildMenuBar(QMenuBar* bar, const StringLoader& strings, const ActionFor& action) {
  QMenu* file = bar->addMenu(Text(strings, kStrMenuFile));
  file->addAction(action(kCmdChangePassword));
  file->addAction(action(kCmdRefresh));
  file->addSeparator();
  file->addAction(action(kCmdExit));

  FillFolderMenu(bar->addMenu(Text(strings, kStrMenuFolder)), strings, action);

  QMenu* view = bar->addMenu(Text(strings, kStrMenuView));
  FillViewMenu(view, strings, action);

  QMenu* settings = bar->addMenu(Text(strings, kStrMenuSettings));
  settings->addAction(action(kCmdDefault));
  settings->addSeparator();
  settings->addAction(action(kCmdAdministrator));

  QMenu* help = bar->addMenu(Text(strings, kStrMenuHelp));
  help->addAction(action(kCmdHelpContents));
  help->addSeparator();
  help->addAction(action(kCmdHelpAbout));
  return view;
}

}  // namespace nb::console
