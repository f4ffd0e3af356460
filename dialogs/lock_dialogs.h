// The lock add dialog (template 9006) and the lock property dialog (template 9009).
#pragma once

#include <QDialog>

#include <vector>

#include <windows.h>

#include "VAULTSdk.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;

namespace nb::dialogs {

class CAddDialog : public QDialog {
 public:
  // `existing` are the locks the new one must not collide with; `out` gets the new lock.
  CAddDialog(const _LCK_INFORMAION* existing, int count, _LCK_INFORMAION* out, QWidget* parent = nullptr);
  void accept() override;

 private:
  void UpdateKind();
  void Browse();

  std::vector<_LCK_INFORMAION> existing_;
  _LCK_INFORMAION* out_;
  QRadioButton* folder_;
  QRadioButton* drive_;
  QLineEdit* path_;
  QPushButton* browse_;
  QComboBox* drives_;
  QComboBox* mode_;
  QSpinBox* timeout_;
};

class CPropertyDialog : public QDialog {
 public:
  explicit CPropertyDialog(_LCK_INFORMAION* lock, QWidget* parent = nullptr);

 private:
  void Apply();

  _LCK_INFORMAION* lock_;
  QComboBox* mode_;
  QSpinBox* timeout_;
  QPushButton* apply_;
};

}  // namespace nb::dialogs
