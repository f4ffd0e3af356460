// What the console's start-up asks of the window program: the account dialogs and the
// splash of the dialog library, and bringing the window of another console forward.
#pragma once

#include "startup.h"

namespace nb::console {

class QtStartupHost final : public StartupHost {
 public:
  int FirstAdministrator(_PWDTBL* account, CMdb* users) override;
  int Login(int brand, _PWDTBL* account, int* remember, CMdb* users) override;
  void Splash(int brand) override;
  // Finds the other console's main window by its title, restores it from minimised and
  // gives it the foreground and the focus.
  void BringForward(const std::u16string& title) override;
};

}  // namespace nb::console
