// The console's list view: the rows of the lock list in four view modes (large icons,
// small icons, list, details), grey rows for locks not in force, the context menu, drops
// of folders, and the lock commands forwarded to the lock list.
#pragma once

#include <QIcon>
#include <QMenu>
#include <QStandardItemModel>
#include <QUrl>
#include <QWidget>

#include <memory>
#include <vector>

#include <windows.h>

#include "command_state.h"
#include "lock_list.h"

class QItemSelectionModel;
class QListView;
class QStackedWidget;
class QTreeView;

class CNBAdminView : public QWidget {
  Q_OBJECT

 public:
  // The list works through `vault` (the document's); `images` is the module with icons
  // 139 and 135 (null: no pictures).
  CNBAdminView(CVAULTObj& vault, nb::console::LockListConfig config, HMODULE images, QWidget* parent = nullptr);
  ~CNBAdminView() override;

  nb::console::LockList& List() { return *list_; }

  // The selected rows, in display order, and what the enabling rules need of them.
  std::vector<nb::console::RowId> Selection() const;
  std::vector<nb::console::RowState> SelectionStates() const;
  // Selects exactly the rows at these display positions.
  void SelectRows(const std::vector<int>& positions);
  // The number of rows and the text of a cell as shown.
  int RowCount() const;
  QString CellText(int row, int column) const;
  QColor RowColour(int row) const;

  // A lock command (32777 .. 32783) on the selection, as the menu and toolbar run it.
  void Execute(UINT command);
  // Reloads the list (the frame's refresh and background reload).
  void Reload(bool autoStart);

  // View modes: 32791 large icons, 32792 small icons, 32793 list, 32794 details.
  void SetViewMode(UINT command);
  UINT ViewMode() const { return viewMode_; }

  // Locks the folders of dropped local files (mapped to "X:\..."); others are left alone.
  void DropUrls(const QList<QUrl>& urls);

  // The context menu's "Folder" items with the context rules applied; null when the
  // module has no texts. The caller runs it.
  std::unique_ptr<QMenu> ContextMenu();

 signals:
  // The selection or the rows changed: command states need a new look.
  void selectionChanged();
  // A status-bar prompt (empty: back to idle), for menu items hovered in the context menu.
  void promptChanged(const QString& prompt);

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void Fill();
  void SizeColumns();
  void ShowContextMenu(const QPoint& position);
  void OpenProperties();
  // Shows one error box when commands failed on the lock database (the SDK shows its own
  // boxes for driver failures).
  void Report(const std::vector<nb::console::CommandResult>& results);

  std::unique_ptr<nb::console::LockList> list_;
  QStandardItemModel model_;
  QItemSelectionModel* selection_;
  QStackedWidget* stack_;
  QTreeView* details_;
  QListView* icons_;
  QIcon largeIcon_, smallIcon_;
  UINT viewMode_ = 0;
};
