// HtmlHelpW: the HTML help display as a Qt text browser window, one per process, that
// shows the topic file asked for and follows its links.
#include <QApplication>
#include <QFileInfo>
#include <QPointer>
#include <QTextBrowser>
#include <QUrl>

#include <htmlhelp.h>

#include "nb/text.h"
#include "nb/win/module_names.h"
#include "nb/win/qt_message_box.h"

namespace {

constexpr int kWidth = 640, kHeight = 480;

QPointer<QTextBrowser> helpWindow;

QTextBrowser* HelpWindow() {
  if (!helpWindow) {
    helpWindow = new QTextBrowser;
    helpWindow->setObjectName("HtmlHelp");
    helpWindow->setAttribute(Qt::WA_DeleteOnClose);
    helpWindow->setOpenExternalLinks(true);
    helpWindow->resize(kWidth, kHeight);
    QObject::connect(helpWindow, &QTextBrowser::sourceChanged, helpWindow,
                     [] { helpWindow->setWindowTitle(helpWindow->documentTitle()); });
  }
  return helpWindow;
}

}  // namespace

HWND HtmlHelpW(HWND /*caller*/, LPCWSTR file, UINT command, DWORD_PTR /*data*/) {
  if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
  }
  if (command == HH_CLOSE_ALL) {
    if (helpWindow) helpWindow->close();
    return nullptr;
  }
  if (command != HH_DISPLAY_TOPIC || !file) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  DWORD error = ERROR_SUCCESS;
  std::optional<std::string> host = nb::win::HostPathOfModuleFile(file, &error);
  QFileInfo info(host ? QString::fromStdString(*host) : QString());
  if (!host || !info.isFile() || !info.isReadable()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  QTextBrowser* window = HelpWindow();
  window->setSource(QUrl::fromLocalFile(info.absoluteFilePath()));
  window->setWindowTitle(window->documentTitle());
  window->show();
  window->raise();
  window->activateWindow();
  return nb::win::WindowHandleOf(window);
}
