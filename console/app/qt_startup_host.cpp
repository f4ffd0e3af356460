// The start-up's window side.
#include "qt_startup_host.h"

#include <windows.h>
#include <winuser.h>

#include "NBMgrSDK.h"

namespace nb::console {

int QtStartupHost::FirstAdministrator(_PWDTBL* account, CMdb* users) {
  return AdminAddDialog(nullptr, 0, account, users);
}

int QtStartupHost::Login(int brand, _PWDTBL* account, int* remember, CMdb* users) {
  return LoginDialog(brand, account, remember, users);
}

void QtStartupHost::Splash(int brand) { SplashDialog(brand); }

void QtStartupHost::BringForward(const std::u16string& title) {
  HWND other = FindWindowW(nullptr, title.c_str());
  if (!other) return;
  SendMessageW(other, WM_SYSCOMMAND, SC_RESTORE, 0);
  SetForegroundWindow(other);
  SetFocus(other);
}

}  // namespace nb::console
