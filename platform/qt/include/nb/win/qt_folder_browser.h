// The shell's folder browser as a Qt dialog: a tree of the machine's drives ("X:") whose
// folders are listed as they are opened, a status line with the current selection, and OK
// and Cancel. SHBrowseForFolderW shows it modally; a script installed here answers it
// instead of a user, without a modal loop.
#pragma once

#include <QDialog>

#include <functional>
#include <string>
#include <string_view>

#include <windows.h>

class QLabel;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace nb::win {

class QtFolderChooser final : public QDialog {
 public:
  explicit QtFolderChooser(const QString& title, QWidget* parent = nullptr);

  // Opens the tree along "X:\a\b" (case ignored, a trailing "\" allowed) and selects the
  // folder; false, with the selection unchanged, when a component is not listed.
  bool Select(std::u16string_view path);
  // The selected folder as "X:\" or "X:\a\b"; empty when nothing is selected.
  std::u16string Selection() const;
  // The text of the status line.
  QString StatusText() const;

 private:
  void Fill(QTreeWidgetItem* item);
  void SelectionChanged();

  QTreeWidget* tree_;
  QLabel* status_;
  QPushButton* ok_;
};

// Answers the chooser in place of a user: selects, reads the status line and returns true
// for OK, false for Cancel. Installing one returns the script installed before (empty:
// the chooser runs modally).
using FolderChooserScript = std::function<bool(QtFolderChooser&)>;
FolderChooserScript SetFolderChooserScript(FolderChooserScript script);

// Installs a script for the life of a scope.
class ScopedFolderChooserScript {
 public:
  explicit ScopedFolderChooserScript(FolderChooserScript script)
      : previous_(SetFolderChooserScript(std::move(script))) {}
  ~ScopedFolderChooserScript() { SetFolderChooserScript(std::move(previous_)); }
  ScopedFolderChooserScript(const ScopedFolderChooserScript&) = delete;
  ScopedFolderChooserScript& operator=(const ScopedFolderChooserScript&) = delete;

 private:
  FolderChooserScript previous_;
};

}  // namespace nb::win
