// MessageBoxW as a Qt box: the GUI presenter of a process that runs a QApplication, and the
// window handles that name Qt widgets as owners of boxes and dialogs.
#pragma once

#include <windows.h>

#include "nb/win/message_box.h"

class QWidget;

namespace nb::win {

// Shows each box as a QMessageBox on the application's thread (a box asked for on another
// thread waits there for the answer), modal to its owner window, or to the application
// when it has none. Presents only while a QApplication runs.
class QtMessageBoxPresenter final : public MessageBoxPresenter {
 public:
  int Present(const MessageBoxRequest& request) override;
  bool CanPresent() const override;
};

// Names the Qt presenter as this process's GUI presenter (once; later calls do nothing).
void UseQtMessageBoxes();

// The handle of a widget's window, and the widget of a handle (null for a handle that
// names no live widget of this process).
HWND WindowHandleOf(QWidget* widget);
QWidget* WidgetOfWindowHandle(HWND window);

}  // namespace nb::win
