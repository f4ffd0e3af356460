// The login, password and password-change dialogs (templates 9020, 9005, 9000).
#pragma once

#include <QDialog>

#include <windows.h>

#include "VAULTSdk.h"

class QCheckBox;
class QLineEdit;

namespace nb::dialogs {

// A line edit for a password: hidden text, at most 99 characters.
QLineEdit* MakePasswordEdit(QWidget* parent, int id);

class CLoginDialog : public QDialog {
 public:
  CLoginDialog(_PWDTBL* account, int* remember, CMdb* users, QWidget* parent = nullptr);
  void accept() override;

 private:
  _PWDTBL* account_;
  int* remember_;
  CMdb* users_;
  QLineEdit* name_;
  QLineEdit* password_;
};

class CPwdDialog : public QDialog {
 public:
  CPwdDialog(const WCHAR* user, const WCHAR* digest, QWidget* parent = nullptr);
  void accept() override;

 private:
  std::u16string digest_;
  QLineEdit* password_;
};

class CChangePwdDialog : public QDialog {
 public:
  CChangePwdDialog(_PWDTBL* account, CMdb* users, QWidget* parent = nullptr);

 private:
  void Apply();

  _PWDTBL* account_;
  CMdb* users_;
  QLineEdit* comment_;
  QLineEdit* password_;
  QLineEdit* again_;
};

}  // namespace nb::dialogs
