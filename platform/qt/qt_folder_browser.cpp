// The folder browser: SHBrowseForFolderW over a Qt tree of the drives.
#include "nb/win/qt_folder_browser.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

#include <shlobj.h>

#include "nb/win/qt_message_box.h"

// The item list of a chosen folder: its Windows path.
struct _ITEMIDLIST {
  std::u16string path;
};

namespace nb::win {

namespace {

constexpr int kPathRole = Qt::UserRole;
constexpr int kFilledRole = Qt::UserRole + 1;

std::mutex scriptLock;
FolderChooserScript script;

QString QStringOf(std::u16string_view text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}
std::u16string TextOf(const QString& text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()), static_cast<size_t>(text.size()));
}

// A child that marks an item as openable until its folders are listed.
void AddPlaceholder(QTreeWidgetItem* item) { new QTreeWidgetItem(item); }

// The names of the folders directly inside `path` ("X:\" or "X:\a"), sorted ignoring case.
std::vector<std::u16string> SubFolders(const std::u16string& path) {
  std::vector<std::u16string> names;
  std::u16string pattern = path;
  if (pattern.back() != u'\\') pattern += u'\\';
  pattern += u'*';
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(pattern.c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    std::u16string name(found.cFileName);
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || name == u"." || name == u"..") continue;
    names.push_back(std::move(name));
  } while (FindNextFileW(find, &found));
  FindClose(find);
  std::sort(names.begin(), names.end(), [](const std::u16string& a, const std::u16string& b) {
    return QString::compare(QStringOf(a), QStringOf(b), Qt::CaseInsensitive) < 0;
  });
  return names;
}

}  // namespace

QtFolderChooser::QtFolderChooser(const QString& title, QWidget* parent) : QDialog(parent) {
  setObjectName("FolderBrowser");
  setWindowTitle(title);
  auto* heading = new QLabel(title, this);
  heading->setWordWrap(true);
  tree_ = new QTreeWidget(this);
  tree_->setObjectName("tree");
  tree_->setHeaderHidden(true);
  status_ = new QLabel(this);
  status_->setObjectName("status");
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  ok_ = buttons->button(QDialogButtonBox::Ok);
  ok_->setObjectName(QString::number(IDOK));
  buttons->button(QDialogButtonBox::Cancel)->setObjectName(QString::number(IDCANCEL));
  ok_->setEnabled(false);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(tree_, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* item) { Fill(item); });
  connect(tree_, &QTreeWidget::currentItemChanged, this, [this] { SelectionChanged(); });
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(heading);
  layout->addWidget(tree_, 1);
  layout->addWidget(status_);
  layout->addWidget(buttons);
  resize(360, 420);

  DWORD drives = GetLogicalDrives();
  for (int letter = 0; letter < 26; ++letter) {
    if (!(drives & (1u << letter))) continue;
    std::u16string root = {static_cast<char16_t>(u'A' + letter), u':', u'\\'};
    auto* item = new QTreeWidgetItem(tree_, QStringList(QStringOf(root.substr(0, 2))));
    item->setData(0, kPathRole, QStringOf(root));
    AddPlaceholder(item);
  }
}

void QtFolderChooser::Fill(QTreeWidgetItem* item) {
  if (item->data(0, kFilledRole).toBool()) return;
  item->setData(0, kFilledRole, true);
  qDeleteAll(item->takeChildren());
  std::u16string path = TextOf(item->data(0, kPathRole).toString());
  for (const std::u16string& name : SubFolders(path)) {
    std::u16string child = path.back() == u'\\' ? path + name : path + u'\\' + name;
    auto* folder = new QTreeWidgetItem(item, QStringList(QStringOf(name)));
    folder->setData(0, kPathRole, QStringOf(child));
    AddPlaceholder(folder);
  }
}

void QtFolderChooser::SelectionChanged() {
  std::u16string path = Selection();
  status_->setText(QStringOf(path));
  ok_->setEnabled(!path.empty());
}

bool QtFolderChooser::Select(std::u16string_view path) {
  if (path.size() < 2 || path[1] != u':') return false;
  QString drive = QStringOf(path.substr(0, 2));
  QTreeWidgetItem* item = nullptr;
  for (int i = 0; i < tree_->topLevelItemCount(); ++i) {
    if (tree_->topLevelItem(i)->text(0).compare(drive, Qt::CaseInsensitive) == 0) item = tree_->topLevelItem(i);
  }
  if (!item) return false;
  std::u16string_view rest = path.substr(2);
  while (!rest.empty()) {
    if (rest.front() != u'\\') return false;
    rest.remove_prefix(1);
    if (rest.empty()) break;
    size_t end = std::min(rest.find(u'\\'), rest.size());
    QString name = QStringOf(rest.substr(0, end));
    rest.remove_prefix(end);
    Fill(item);
    QTreeWidgetItem* next = nullptr;
    for (int i = 0; i < item->childCount() && !next; ++i) {
      if (item->child(i)->text(0).compare(name, Qt::CaseInsensitive) == 0) next = item->child(i);
    }
    if (!next) return false;
    item->setExpanded(true);
    item = next;
  }
  tree_->setCurrentItem(item);
  return true;
}

std::u16string QtFolderChooser::Selection() const {
  QTreeWidgetItem* item = tree_->currentItem();
  return item ? TextOf(item->data(0, kPathRole).toString()) : std::u16string();
}

QString QtFolderChooser::StatusText() const { return status_->text(); }

FolderChooserScript SetFolderChooserScript(FolderChooserScript next) {
  std::lock_guard lock(scriptLock);
  return std::exchange(script, std::move(next));
}

}  // namespace nb::win

PIDLIST_ABSOLUTE SHBrowseForFolderW(LPBROWSEINFOW info) {
  if (!info || !qobject_cast<QApplication*>(QCoreApplication::instance())) return nullptr;
  QString title = info->lpszTitle ? QString::fromUtf16(info->lpszTitle) : QString();
  nb::win::QtFolderChooser chooser(title, nb::win::WidgetOfWindowHandle(info->hwndOwner));
  nb::win::FolderChooserScript answer;
  {
    std::lock_guard lock(nb::win::scriptLock);
    answer = nb::win::script;
  }
  bool chosen = answer ? answer(chooser) : chooser.exec() == QDialog::Accepted;
  std::u16string path = chooser.Selection();
  if (!chosen || path.empty()) return nullptr;
  if (info->pszDisplayName) {
    size_t separator = path.find_last_of(u'\\', path.size() - 2);
    std::u16string name = path.size() <= 3 ? path.substr(0, 2) : path.substr(separator + 1);
    name.resize(std::min<size_t>(name.size(), MAX_PATH - 1));
    std::memcpy(info->pszDisplayName, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
  }
  return new ITEMIDLIST{std::move(path)};
}

BOOL SHGetPathFromIDListW(LPCITEMIDLIST list, LPWSTR path) {
  if (!list || !path) return FALSE;
  if (list->path.size() >= MAX_PATH) {
    path[0] = 0;
    return FALSE;
  }
  std::memcpy(path, list->path.c_str(), (list->path.size() + 1) * sizeof(WCHAR));
  return TRUE;
}

void ILFree(LPITEMIDLIST list) { delete list; }
