// The console program's test machine: the dialogs' machine (drives, drivers, lock store,
// dialog library, scripted message boxes) with the service's mutex held and the driver's
// file in the default folder, so that the console's start-up checks pass; the console's
// language modules and help files beside this program; a profile of its own.
#pragma once

#include <QWidget>

#include <functional>
#include <memory>
#include <string>

#include "dialog_machine.h"
#include "main_frame.h"
#include "nbadmin_app.h"
#include "nbadmin_view.h"

namespace app_test {

using dialogs_test::Click;
using dialogs_test::Control;
using dialogs_test::Drive;
using dialogs_test::Step;
using dialogs_test::Type;

// "<folder of this program>\NBAdmin": the name the console runs under in these tests.
std::u16string ConsolePath();
// A text of the console's English module.
QString ConsoleText(UINT id);

class AppTest : public dialogs_test::DialogTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Stores an account in the user database.
  void AddAccount(std::u16string_view user, std::u16string_view password, int admin);
  // Locks a folder of drive D: (made when missing) in the driver and stores it with
  // `owner`; status 0 pauses it in the driver too.
  _LCK_INFORMAION AddLock(const std::string& path, std::u16string_view owner, int status = LCK_STATUS_LOCKED,
                          int mode = 1, int timeout = 0);
  // Starts a console and logs in with the login dialog; true when its window is shown.
  bool StartAs(const QString& user, const QString& password);
  // A step that logs in on the login dialog.
  static Step LogIn(const QString& user, const QString& password);

  CMainFrame* Frame() const { return app->Frame(); }
  CNBAdminView* View() const { return app->Frame()->View(); }
  // Whether running `call` opened any modal dialog (which is then cancelled).
  static bool OpensModal(const std::function<void()>& call);

  std::unique_ptr<CNBAdminApp> app;
  HANDLE serviceMutex = nullptr;
};

}  // namespace app_test
