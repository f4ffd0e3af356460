// The console's start-up and exit without widgets: the language module and the title, the
// own trusted-process registration, the driver version check, the brand code, the single
// instance, the service check and the login, then at exit the confirmation, the saved
// placement and the registration withdrawn. What needs a window (the dialogs, the splash,
// bringing another console forward) is asked of a StartupHost; error boxes and the exit
// question go through MessageBoxW.
#pragma once

#include <string>

#include <windows.h>

#include "VAULTSdk.h"
#include "lock_list.h"
#include "placement.h"
#include "profile.h"

namespace nb::console {

// What the start-up asks of the window program.
class StartupHost {
 public:
  virtual ~StartupHost() = default;
  // The first-administrator dialog (AdminAddDialog(0, 0, account, users)): 1 when an
  // administrator was created and `account` holds it (it is then logged in).
  virtual int FirstAdministrator(_PWDTBL* account, CMdb* users) = 0;
  // The login dialog (LoginDialog(brand, account, remember, users)): 1 when logged in and
  // `account` holds the stored record.
  virtual int Login(int brand, _PWDTBL* account, int* remember, CMdb* users) = 0;
  // The splash (SplashDialog(brand)), after a successful login.
  virtual void Splash(int brand) = 0;
  // Another console runs: restore its main window (found by the title) and bring it to
  // the foreground.
  virtual void BringForward(const std::u16string& title) = 0;
  // Owner of the error boxes.
  virtual HWND Owner() const { return nullptr; }
};

enum class StartOutcome {
  kStarted,
  kRegistrationFailed,  // the own process could not be trusted
  kVersionFailed,       // no driver version, or no driver file of that version (box shown)
  kOtherConsole,        // another console runs and was brought forward
  kServiceNotRunning,   // box 61205 shown
  kUserDbFailed,        // the user database cannot be opened (box shown; nothing written)
  kLoginCancelled,      // login or first-administrator dialog cancelled
};

const char* StartOutcomeText(StartOutcome outcome);

// The own registration: "<base name>.exe" (at most 15 characters), full access, `pid`.
// `executablePath` is the executable's full path (either separator).
_LCK_PROC_INFORMATION OwnRegistration(std::u16string_view executablePath, DWORD pid);
// The language module's path: the executable's path without its extension, a dot and the
// language code ("...\NBAdmin.EN").
std::u16string ResourceModulePath(std::u16string_view executablePath, std::u16string_view languageCode);

// Whether another live console is registered (same process name ignoring case, another
// pid, a running process); registrations of consoles that no longer run are withdrawn on
// the way.
bool FindOtherConsole(CVAULTObj& vault, const _LCK_PROC_INFORMATION& own);

// The message box text of a failed version check: 0 when the driver's version is known
// and its file is present, else the string id (61221 or 61222) and the code into `*code`.
UINT CheckDriverVersion(int* code);

// Profile names.
inline constexpr const char16_t* kUserSection = u"User";
inline constexpr const char16_t* kUserValue = u"User";
inline constexpr const char16_t* kCheckValue = u"Check";

class ConsoleSession {
 public:
  // `builtinStrings` serve when the language module cannot be loaded.
  ConsoleSession(Profile& profile, StartupHost& host, StringLoader builtinStrings = {});
  // Withdraws a registration still held (a start-up failure already did).
  ~ConsoleSession();
  ConsoleSession(const ConsoleSession&) = delete;
  ConsoleSession& operator=(const ConsoleSession&) = delete;

  // The start-up up to the shown splash. `executablePath` empty: GetModuleFileNameW's.
  // Every failure after the registration withdraws it.
  StartOutcome Start(std::u16string executablePath = {});

  // Asks 61207; on Yes saves the placement, withdraws the registration and returns true
  // (the window closes). Anything else: false, nothing changed.
  bool Close(int showCommand, const Rect& normal);
  // Withdraws the registration (idempotent).
  void Unregister();

  HINSTANCE ResourceModule() const { return module_; }
  const StringLoader& Strings() const { return strings_; }
  const std::u16string& Title() const { return title_; }
  int Brand() const { return brand_; }
  const _PWDTBL& Account() const { return account_; }
  bool Administrator() const { return account_.admin != 0; }
  int Remember() const { return remember_; }
  const std::u16string& UserDbPath() const { return userDbPath_; }
  const _LCK_PROC_INFORMATION& Registration() const { return registration_; }
  bool Registered() const { return registered_; }
  CVAULTObj& Vault() { return vault_; }

 private:
  void LoadResources(const std::u16string& executablePath);
  void ShowError(UINT id, int code, bool formatted);
  StartOutcome LogIn();

  Profile& profile_;
  StartupHost& host_;
  StringLoader builtin_;
  StringLoader strings_;
  HINSTANCE module_ = nullptr;
  std::u16string title_;
  int brand_ = 0;
  _PWDTBL account_{};
  int remember_ = 0;
  std::u16string userDbPath_;
  _LCK_PROC_INFORMATION registration_{};
  bool registered_ = false;
  CVAULTObj vault_;
};

}  // namespace nb::console
