// The console's list view.
#include "nbadmin_view.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QListView>
#include <QMimeData>
#include <QStackedWidget>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>

#include "console_ids.h"
#include "menus.h"
#include "module_images.h"
#include "nb/win/drives.h"

using nb::console::RowId;

namespace {

constexpr UINT kIconLockedFolder = 139;
constexpr int kRowIdRole = Qt::UserRole + 1;
constexpr int kLargeIcon = 32, kSmallIcon = 16;

const QColor kInactiveRow(nb::console::kInactiveRowRed, nb::console::kInactiveRowGreen, nb::console::kInactiveRowBlue);

}  // namespace

CNBAdminView::CNBAdminView(CVAULTObj& vault, nb::console::LockListConfig config, HMODULE images, QWidget* parent)
    : QWidget(parent) {
  setObjectName("CNBAdminView");
  setAcceptDrops(true);

  // Every row shows icon 139, large (32 pixels) in the icon view and small (16) in the
  // others. (Icon 135, the locked drive, is the module's second list picture; no row uses it.)
  QPixmap folder = nb::console::ModuleImage(images, kIconLockedFolder, RT_ICON);
  if (!folder.isNull()) {
    largeIcon_ = QIcon(folder.scaled(kLargeIcon, kLargeIcon, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    smallIcon_ = QIcon(folder.scaled(kSmallIcon, kSmallIcon, Qt::KeepAspectRatio, Qt::SmoothTransformation));
  }

  model_.setColumnCount(nb::console::kColumnCount);
  for (int column = 0; column < nb::console::kColumnCount; ++column) {
    model_.setHeaderData(column, Qt::Horizontal,
                         nb::console::Text(config.strings, nb::console::kColumnHeaders[column]));
    model_.setHeaderData(column, Qt::Horizontal, int(Qt::AlignLeft | Qt::AlignVCenter), Qt::TextAlignmentRole);
  }

  details_ = new QTreeView;
  details_->setObjectName("Details");
  details_->setModel(&model_);
  details_->setRootIsDecorated(false);
  details_->setItemsExpandable(false);
  details_->setUniformRowHeights(true);
  details_->setAllColumnsShowFocus(true);  // full-row selection
  details_->setSelectionBehavior(QAbstractItemView::SelectRows);
  details_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  details_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  details_->setIconSize(QSize(kSmallIcon, kSmallIcon));
  details_->header()->setStretchLastSection(false);
  details_->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  details_->setContextMenuPolicy(Qt::CustomContextMenu);
  details_->setAcceptDrops(false);

  icons_ = new QListView;
  icons_->setObjectName("Icons");
  icons_->setModel(&model_);
  icons_->setModelColumn(nb::console::kColName);
  icons_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  icons_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  icons_->setResizeMode(QListView::Adjust);
  icons_->setMovement(QListView::Static);
  icons_->setContextMenuPolicy(Qt::CustomContextMenu);
  icons_->setAcceptDrops(false);

  selection_ = details_->selectionModel();
  icons_->setSelectionModel(selection_);

  stack_ = new QStackedWidget;
  stack_->addWidget(details_);
  stack_->addWidget(icons_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(stack_);

  for (QAbstractItemView* view : {static_cast<QAbstractItemView*>(details_), static_cast<QAbstractItemView*>(icons_)}) {
    connect(view, &QAbstractItemView::doubleClicked, this, [this] { OpenProperties(); });
    connect(view, &QWidget::customContextMenuRequested, this,
            [this, view](const QPoint& at) { ShowContextMenu(view->viewport()->mapToGlobal(at)); });
  }
  connect(selection_, &QItemSelectionModel::selectionChanged, this, &CNBAdminView::selectionChanged);

  // The list calls back when rows change; the first reload starts stored locks.
  auto changed = config.changed;
  config.changed = [this, changed] {
    Fill();
    if (changed) changed();
  };
  if (!config.waitCursor) {
    config.waitCursor = [](bool on) {
      if (on) QApplication::setOverrideCursor(Qt::WaitCursor);
      else QApplication::restoreOverrideCursor();
    };
  }
  list_ = std::make_unique<nb::console::LockList>(vault, std::move(config));
  SetViewMode(nb::console::kCmdDetails);
  SizeColumns();
  list_->Reload(true);
  Fill();
}

CNBAdminView::~CNBAdminView() = default;

std::vector<RowId> CNBAdminView::Selection() const {
  // The details view selects whole rows, the icon views only a row's first cell.
  std::vector<int> rows;
  for (const QModelIndex& index : selection_->selectedIndexes()) rows.push_back(index.row());
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  std::vector<RowId> ids;
  for (int row : rows) ids.push_back(model_.index(row, nb::console::kColName).data(kRowIdRole).toULongLong());
  return ids;
}

std::vector<nb::console::RowState> CNBAdminView::SelectionStates() const { return list_->States(Selection()); }

void CNBAdminView::SelectRows(const std::vector<int>& positions) {
  QItemSelection selection;
  for (int row : positions) {
    if (row < 0 || row >= model_.rowCount()) continue;
    selection.select(model_.index(row, 0), model_.index(row, nb::console::kColumnCount - 1));
  }
  selection_->select(selection, QItemSelectionModel::ClearAndSelect);
}

int CNBAdminView::RowCount() const { return model_.rowCount(); }

QString CNBAdminView::CellText(int row, int column) const { return model_.index(row, column).data().toString(); }

QColor CNBAdminView::RowColour(int row) const {
  QVariant colour = model_.index(row, 0).data(Qt::ForegroundRole);
  return colour.isValid() ? colour.value<QBrush>().color() : palette().color(QPalette::Text);
}

void CNBAdminView::Fill() {
  // Keep the selection by row id across the rebuild.
  std::vector<RowId> selected = Selection();
  QSignalBlocker quiet(selection_);
  model_.removeRows(0, model_.rowCount());
  QItemSelection keep;
  for (RowId row : list_->Rows()) {
    auto lock = list_->Lock(row);
    if (!lock) continue;
    QList<QStandardItem*> items;
    for (int column = 0; column < nb::console::kColumnCount; ++column) {
      auto* item = new QStandardItem(QString::fromStdU16String(list_->Text(row, column)));
      item->setData(QVariant::fromValue<qulonglong>(row), kRowIdRole);
      if (lock->status != LCK_STATUS_LOCKED) item->setForeground(kInactiveRow);
      items.append(item);
    }
    items[0]->setIcon(viewMode_ == nb::console::kCmdTitles ? largeIcon_ : smallIcon_);
    model_.appendRow(items);
    if (std::find(selected.begin(), selected.end(), row) != selected.end()) {
      int at = model_.rowCount() - 1;
      keep.select(model_.index(at, 0), model_.index(at, nb::console::kColumnCount - 1));
    }
  }
  selection_->select(keep, QItemSelectionModel::ClearAndSelect);
  quiet.unblock();
  emit selectionChanged();
}

void CNBAdminView::SizeColumns() {
  // Widths 3w, w - 10, w - 10, w + 20, w with w a seventh of the client width (a negative
  // width on a narrow window collapses the column).
  int w = details_->viewport()->width() / 7;
  if (w <= 0) w = width() / 7;
  const int widths[nb::console::kColumnCount] = {3 * w, w - 10, w - 10, w + 20, w};
  for (int column = 0; column < nb::console::kColumnCount; ++column)
    details_->setColumnWidth(column, std::max(widths[column], 0));
}

void CNBAdminView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  SizeColumns();
}

void CNBAdminView::Execute(UINT command) { Report(list_->Execute(command, Selection())); }

void CNBAdminView::Report(const std::vector<nb::console::CommandResult>& results) {
  bool failed = false, disagrees = false;
  for (const nb::console::CommandResult& result : results) {
    failed = failed || result.outcome == nb::console::Outcome::kStoreFailed;
    disagrees = disagrees || result.outcome == nb::console::Outcome::kStoreFailedDriverChanged;
  }
  if (!failed && !disagrees) return;
  const nb::console::LockListConfig& config = list_->Config();
  std::u16string text = config.strings ? config.strings(disagrees ? nb::console::kStrStoreDisagrees
                                                                  : nb::console::kStrStoreFailed)
                                       : std::u16string();
  MessageBoxW(config.owner, text.c_str(), config.caption.c_str(), MB_OK | MB_ICONERROR);
}

void CNBAdminView::Reload(bool autoStart) { list_->Reload(autoStart); }

void CNBAdminView::SetViewMode(UINT command) {
  switch (command) {
    case nb::console::kCmdTitles:
      icons_->setViewMode(QListView::IconMode);
      icons_->setFlow(QListView::LeftToRight);
      icons_->setWrapping(true);
      icons_->setIconSize(QSize(kLargeIcon, kLargeIcon));
      stack_->setCurrentWidget(icons_);
      break;
    case nb::console::kCmdIcons:
      icons_->setViewMode(QListView::ListMode);
      icons_->setFlow(QListView::LeftToRight);
      icons_->setWrapping(true);
      icons_->setIconSize(QSize(kSmallIcon, kSmallIcon));
      stack_->setCurrentWidget(icons_);
      break;
    case nb::console::kCmdList:
      icons_->setViewMode(QListView::ListMode);
      icons_->setFlow(QListView::TopToBottom);
      icons_->setWrapping(true);
      icons_->setIconSize(QSize(kSmallIcon, kSmallIcon));
      stack_->setCurrentWidget(icons_);
      break;
    case nb::console::kCmdDetails:
      stack_->setCurrentWidget(details_);
      break;
    default:
      return;
  }
  bool changedSize = (viewMode_ == nb::console::kCmdTitles) != (command == nb::console::kCmdTitles);
  viewMode_ = command;
  if (changedSize) {
    for (int row = 0; row < model_.rowCount(); ++row)
      model_.item(row, 0)->setIcon(command == nb::console::kCmdTitles ? largeIcon_ : smallIcon_);
  }
}

void CNBAdminView::DropUrls(const QList<QUrl>& urls) {
  std::vector<std::u16string> paths;
  for (const QUrl& url : urls) {
    if (!url.isLocalFile()) continue;
    std::u16string path = nb::win::DrivePathOf(url.toLocalFile().toStdString());
    // A file outside every drive has no drive path to lock.
    if (path.size() < 2 || path[1] != u':') continue;
    paths.push_back(std::move(path));
  }
  if (!paths.empty()) Report(list_->DropFolders(paths));
}

void CNBAdminView::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void CNBAdminView::dragMoveEvent(QDragMoveEvent* event) {
  if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void CNBAdminView::dropEvent(QDropEvent* event) {
  if (!event->mimeData()->hasUrls()) return;
  event->acceptProposedAction();
  QList<QUrl> urls = event->mimeData()->urls();
  // Locking may show boxes: leave the drag and drop first.
  QMetaObject::invokeMethod(this, [this, urls] { DropUrls(urls); }, Qt::QueuedConnection);
}

std::unique_ptr<QMenu> CNBAdminView::ContextMenu() {
  const nb::console::StringLoader& strings = list_->Config().strings;
  auto menu = std::make_unique<QMenu>(this);
  menu->setObjectName("ContextMenu");
  std::vector<nb::console::RowState> states = SelectionStates();
  nb::console::FillFolderMenu(menu.get(), strings, [&](UINT id) {
    QAction* action = nb::console::MakeAction(menu.get(), strings, id);
    action->setShortcut({});
    action->setEnabled(nb::console::ContextMenuEnabled(id, states));
    connect(action, &QAction::triggered, this, [this, id] { Execute(id); });
    connect(action, &QAction::hovered, this, [this, action] { emit promptChanged(action->statusTip()); });
    return action;
  });
  connect(menu.get(), &QMenu::aboutToHide, this, [this] { emit promptChanged({}); });
  return menu;
}

void CNBAdminView::ShowContextMenu(const QPoint& position) {
  std::unique_ptr<QMenu> menu = ContextMenu();
  menu->exec(position);
}

void CNBAdminView::OpenProperties() {
  std::vector<RowId> rows = Selection();
  if (!rows.empty()) Report({list_->Properties(rows.front())});
}
