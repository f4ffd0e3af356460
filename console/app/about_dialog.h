// The About box (dialog 100): the program icon, the product and version (control 1002,
// string 61229) and the notice of the edition (control 1000: 61236 for brand 1, 61227 for
// brand 2, 61225 otherwise), captioned with string 61234.
#pragma once

#include <QDialog>

#include <windows.h>

#include "lock_list.h"

class CAboutDlg : public QDialog {
 public:
  CAboutDlg(const nb::console::StringLoader& strings, int brand, const QPixmap& icon, QWidget* parent = nullptr);
};

namespace nb::console {
// The notice string of a brand code.
UINT NoticeOf(int brand);
}  // namespace nb::console
