// The account administration (template 9021) and the add-account dialog (template 9040),
// which is also the first-run dialog that creates the administrator.
#pragma once

#include <QDialog>

#include <memory>
#include <vector>

#include <windows.h>

#include "VAULTSdk.h"
#include "account_rules.h"

class QLineEdit;
class QMenu;
class QPushButton;
class QTreeWidget;

namespace nb::dialogs {

class CAdminAddDialog : public QDialog {
 public:
  enum class Mode { kFirstRun, kAdd };
  // `out` gets the new account on OK; in first-run mode it is stored as the administrator.
  CAdminAddDialog(Mode mode, std::vector<_PWDTBL> existing, _PWDTBL* out, CMdb* users, QWidget* parent = nullptr);
  void accept() override;

 private:
  Mode mode_;
  std::vector<_PWDTBL> existing_;
  _PWDTBL* out_;
  CMdb* users_;
  QLineEdit* name_;
  QLineEdit* password_;
  QLineEdit* again_;
  QLineEdit* comment_;
};

class CAdminDialog : public QDialog {
 public:
  CAdminDialog(std::unique_ptr<AccountAdministration> accounts, QWidget* parent = nullptr);
  // Closing ends with OK only when no lock was unlocked.
  void done(int result) override;

  // The context menu of the list as a right click at `position` (viewport coordinates)
  // opens it; it stays a child of the dialog until it closes.
  QMenu* OpenContextMenu(const QPoint& position);

 private:
  void Fill();
  const _PWDTBL* Selected() const;
  void UpdateDeleteButton();
  void Add();
  void Delete();
  void MakeAdministrator();

  std::unique_ptr<AccountAdministration> accounts_;
  QTreeWidget* list_;
  QPushButton* delete_;
};

}  // namespace nb::dialogs
