// The Qt presenter of MessageBoxW and the window handles of Qt widgets.
#include "nb/win/qt_message_box.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QWidget>

#include <mutex>
#include <utility>
#include <vector>

namespace nb::win {

namespace {

QString TextOf(const std::u16string& text) { return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size())); }

QMessageBox::Icon IconOf(UINT icon) {
  switch (icon) {
    case MB_ICONERROR:
      return QMessageBox::Critical;
    case MB_ICONQUESTION:
      return QMessageBox::Question;
    case MB_ICONWARNING:
      return QMessageBox::Warning;
    case MB_ICONINFORMATION:
      return QMessageBox::Information;
    default:
      return QMessageBox::NoIcon;
  }
}

QMessageBox::StandardButton StandardButtonOf(int id) {
  switch (id) {
    case IDOK: return QMessageBox::Ok;
    case IDCANCEL: return QMessageBox::Cancel;
    case IDABORT: return QMessageBox::Abort;
    case IDRETRY: return QMessageBox::Retry;
    case IDIGNORE: return QMessageBox::Ignore;
    case IDYES: return QMessageBox::Yes;
    case IDNO: return QMessageBox::No;
    default: return QMessageBox::NoButton;
  }
}

// Runs on the application's thread.
int ShowBox(const MessageBoxRequest& request) {
  QWidget* owner = WidgetOfWindowHandle(request.owner);
  QMessageBox box(IconOf(request.Icon()), TextOf(request.caption), TextOf(request.text), QMessageBox::NoButton,
                  owner ? owner->window() : nullptr);
  box.setWindowModality(owner ? Qt::WindowModal : Qt::ApplicationModal);
  std::vector<std::pair<QAbstractButton*, int>> buttons;
  for (int id : ButtonIds(request.Buttons())) {
    QMessageBox::StandardButton standard = StandardButtonOf(id);
    QAbstractButton* button = standard != QMessageBox::NoButton
                                  ? box.addButton(standard)
                                  : box.addButton(id == IDTRYAGAIN ? QMessageBox::tr("Try Again") : QMessageBox::tr("Continue"),
                                                  QMessageBox::AcceptRole);
    buttons.emplace_back(button, id);
  }
  UINT defaultIndex = request.DefaultButton();
  if (defaultIndex < buttons.size()) box.setDefaultButton(qobject_cast<QPushButton*>(buttons[defaultIndex].first));
  int declining = DecliningAnswer(request.Buttons());
  for (auto& [button, id] : buttons) {
    if (id == declining) box.setEscapeButton(button);
  }
  box.exec();
  for (auto& [button, id] : buttons) {
    if (box.clickedButton() == button) return id;
  }
  return declining;
}

QtMessageBoxPresenter presenter;

}  // namespace

bool QtMessageBoxPresenter::CanPresent() const { return qobject_cast<QApplication*>(QCoreApplication::instance()); }

int QtMessageBoxPresenter::Present(const MessageBoxRequest& request) {
  QCoreApplication* application = QCoreApplication::instance();
  if (!application) return DecliningAnswer(request.Buttons());
  if (QThread::currentThread() == application->thread()) return ShowBox(request);
  int answer = DecliningAnswer(request.Buttons());
  QMetaObject::invokeMethod(application, [&] { answer = ShowBox(request); }, Qt::BlockingQueuedConnection);
  return answer;
}

void UseQtMessageBoxes() {
  static std::once_flag named;
  std::call_once(named, [] { SetGuiMessageBoxPresenter(&presenter); });
}

HWND WindowHandleOf(QWidget* widget) { return reinterpret_cast<HWND>(widget); }

QWidget* WidgetOfWindowHandle(HWND window) {
  if (!window || !qobject_cast<QApplication*>(QCoreApplication::instance())) return nullptr;
  // Only a widget that lives now: a stale or foreign handle names no owner.
  for (QWidget* widget : QApplication::allWidgets()) {
    if (reinterpret_cast<HWND>(widget) == window) return widget;
  }
  return nullptr;
}

}  // namespace nb::win
