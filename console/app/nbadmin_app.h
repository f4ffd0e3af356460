// The console program: the start-up (language module, registration, checks, login,
// splash), then the document, the main window with its view, the window that other
// consoles find by title, and the background reload; the window's exit ends it.
#pragma once

#include <memory>
#include <string>

#include <windows.h>

#include "VAULTSdk.h"
#include "main_frame.h"
#include "notification_watcher.h"
#include "nbadmin_doc.h"
#include "qt_startup_host.h"
#include "settings_profile.h"
#include "startup.h"

namespace nb::win {
class WindowBeacon;
}

class CNBAdminApp {
 public:
  // `executablePath` names the program for its language modules, help file and process
  // registration ("...\NBAdmin"); empty: the running program's own path.
  explicit CNBAdminApp(std::u16string executablePath = {});
  ~CNBAdminApp();
  CNBAdminApp(const CNBAdminApp&) = delete;
  CNBAdminApp& operator=(const CNBAdminApp&) = delete;

  // The start-up up to the shown main window and the running background reload; false
  // when the program is to end (the reason in Outcome()).
  bool InitInstance();
  // InitInstance, then the event loop until the main window closes; the exit code.
  int Run();

  nb::console::StartOutcome Outcome() const { return outcome_; }
  nb::console::ConsoleSession& Session() { return session_; }
  CMainFrame* Frame() const { return frame_.get(); }
  CNBAdminDoc* Doc() const { return doc_.get(); }
  const _PWDTBL& Account() const { return account_; }
  nb::console::NotificationWatcher* Watcher() const { return watcher_.get(); }
  // The help file of the user-interface language.
  const std::u16string& HelpPath() const { return helpPath_; }
  // The module the program's texts and pictures come from (the language's, or the
  // built-in English one).
  HMODULE Resources() const;

 private:
  std::u16string ExecutablePath() const;
  std::u16string HelpFile(const std::u16string& executablePath) const;

  // A loaded module, freed with its owner.
  struct LoadedModule {
    HMODULE handle = nullptr;
    ~LoadedModule() {
      if (handle) FreeLibrary(handle);
    }
  };

  std::u16string executablePath_;
  LoadedModule builtin_;  // before the session, which reads its texts, so it outlives it
  nb::console::SettingsProfile profile_;
  nb::console::QtStartupHost host_;
  nb::console::ConsoleSession session_;
  nb::console::StartOutcome outcome_ = nb::console::StartOutcome::kLoginCancelled;
  _PWDTBL account_{};
  std::u16string helpPath_;
  std::unique_ptr<CNBAdminDoc> doc_;
  std::unique_ptr<CMainFrame> frame_;
  std::unique_ptr<nb::win::WindowBeacon> beacon_;
  // Last: stopped first, so that no reload reaches a frame being destroyed.
  std::unique_ptr<nb::console::NotificationWatcher> watcher_;
};
