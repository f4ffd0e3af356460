// What every dialog shares: the language resource module the library takes its texts and
// images from, message boxes, named controls and the modal run.
#pragma once

#include <QPixmap>
#include <QString>

#include <functional>
#include <string>

#include <windows.h>

class QComboBox;
class QSpinBox;
class QWidget;

namespace nb::dialogs {

// The library's set-up, done on the first call of an export: the module
// "<folder of the program>\NBMgrSDK.<language code>". False when it cannot be loaded.
bool EnsureResources();
// Set-up from another folder, replacing the module in use; false (and no module) when the
// folder has none for the language.
bool LoadResources(const std::u16string& folder);
// Drops the module: the exports then return 0 until a set-up succeeds.
void UnloadResources();
// The module's short language code ("EN") of the last set-up.
std::u16string ResourceLanguage();

// Texts and images of the module; an empty text or image when it has none.
std::u16string TextW(UINT id);
QString Text(UINT id);
QString Format(UINT id, ...);
QPixmap Image(UINT id);  // icons (RT_ICON) and images (RT_RCDATA) by id
// The library's application name (string 35).
QString ApplicationName();

// MessageBoxW with a text of the module, owned by `owner`'s window (null: application
// modal).
int Message(QWidget* owner, const QString& text, const char16_t* caption, UINT type);
inline int Warning(QWidget* owner, UINT id, UINT buttons = MB_OK) {
  return Message(owner, Text(id), u"Warning", buttons | MB_ICONWARNING);
}

// Names a control by its numeric id.
template <class Widget>
Widget* Named(Widget* widget, int id) {
  widget->setObjectName(QString::number(id));
  return widget;
}

// The lock-mode list: item 0 "Hidden" (data 1), item 1 "Read only" (data 4).
void FillModeList(QComboBox* list);
// Selects item 1 for mode 4, else item 0.
void SelectMode(QComboBox* list, int mode);
// An idle time-out spin control of 0 to 10000 minutes; its edit is control `editId` when
// that is not 0.
QSpinBox* MakeTimeoutSpin(QWidget* parent, int spinId, int editId);

// Runs `body` (which builds and executes a modal dialog) with a QApplication, making one
// for the run when the process has none, and with message boxes shown by Qt. 0 when the
// process runs a non-GUI application.
int RunModal(const std::function<int()>& body);

}  // namespace nb::dialogs
