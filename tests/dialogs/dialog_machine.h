// The dialogs' test machine: the utility library's machine (drives, filter and removable-
// device drivers, the service key) with the lock store installed, the dialog library set
// up from the language modules beside this program, scripted message boxes, and helpers
// that drive a modal dialog through its controls.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <windows.h>

#include "VAULTSdk.h"
#include "nb/win/message_box.h"
#include "util_machine.h"

namespace dialogs_test {

inline constexpr const char16_t* kLockDb = u"C:\\Windows\\Application Data\\NB\\lock";
inline constexpr const char16_t* kUserDb = u"C:\\Windows\\Application Data\\NB\\user";

// The folder of this program, where the build puts the language modules.
std::u16string ProgramFolder();
// A record of an account with the digest of `password`.
_PWDTBL MakeAccount(std::u16string_view user, std::u16string_view password, int admin = 0,
                    std::u16string_view comment = u"");
_LCK_INFORMAION MakeLock(char16_t drive, std::u16string_view path, DWORD serial, std::u16string_view owner,
                         int status = LCK_STATUS_LOCKED);
// The text of a string of the module in use.
std::u16string Text(UINT id);

class DialogTest : public util_test::UtilTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The installation's user-interface language ("LANGUAGE": 0 KO, 1 CH, 2 JP, else EN)
  // and the system's default language, as the installer and the system keep them.
  void SetInstalledLanguage(DWORD value);
  void SetSystemLanguage(LANGID language);
  // Removes a database file, so that the store cannot open it.
  void RemoveDatabase(const char* name);

  CMdb users{kUserDb, false};
  CMdb lockDb{kLockDb, false};
  nb::win::ScriptedMessageBoxes boxes;
};

// A step on the dialog on top.
using Step = std::function<void(QWidget* dialog)>;

// Runs `open` (a call that runs modal dialogs); each step runs once on the modal dialog
// then on top, in order, one step per turn of the event loop. A dialog still open when the
// steps are used up is cancelled, so a test never hangs.
template <class Open>
auto Drive(Open open, std::vector<Step> steps) {
  size_t next = 0;
  bool pending = false;
  QTimer timer;
  timer.setInterval(5);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    QWidget* top = QApplication::activeModalWidget();
    if (!top || pending) return;
    if (next < steps.size()) {
      // Run from the event queue, not from this timer: a step that opens a nested modal
      // dialog then leaves the timer free to drive it.
      pending = true;
      QTimer::singleShot(0, top, [&, top, index = next++] {
        pending = false;
        steps[index](top);
      });
      return;
    }
    if (auto* dialog = qobject_cast<QDialog*>(top)) dialog->reject();
  });
  timer.start();
  auto result = open();
  timer.stop();
  EXPECT_EQ(next, steps.size()) << "steps left over";
  return result;
}

// The control of a dialog by id; fails the test when there is none.
template <class Widget>
Widget* Control(QWidget* dialog, int id) {
  auto* widget = dialog->findChild<Widget*>(QString::number(id));
  EXPECT_NE(widget, nullptr) << "control " << id;
  return widget;
}
// Types into an edit as a user would (the edit's length limit applies).
void Type(QWidget* dialog, int id, const QString& text);
void Click(QWidget* dialog, int id);

}  // namespace dialogs_test
