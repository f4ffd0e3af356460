// The defaults dialog (template 9016) and the splash screen (template 9054).
#pragma once

#include <QDialog>

#include <windows.h>

class QComboBox;
class QPushButton;
class QSpinBox;

namespace nb::dialogs {

// The defaults for new locks as the dialogs start them: the stored mode (4 stays 4, any
// other value is 1) and time-out cut to 0..10000 minutes; mode 1 and 0 when none are stored.
void LoadDefaults(int* mode, int* timeout);
// Stores the defaults; 0 on success, else the system error code.
DWORD SaveDefaults(int mode, int timeout);

class CDefValueDialog : public QDialog {
 public:
  explicit CDefValueDialog(QWidget* parent = nullptr);

 private:
  void Save();

  QComboBox* mode_;
  QSpinBox* timeout_;
  QPushButton* save_;
};

class CSplashDialog : public QDialog {
 public:
  explicit CSplashDialog(QWidget* parent = nullptr);
};

// Whether the splash screen is shown: brand 2 on a Simplified-Chinese system.
bool ShowsSplash(int brand);

}  // namespace nb::dialogs
