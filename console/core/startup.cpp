// The console's start-up (language module, title, trusted registration, driver version,
// brand, single instance, service, login, splash) and its exit.
#include "startup.h"

#include <algorithm>
#include <array>
#include <vector>

#include "LanguageInfo.h"
#include "NBUtil.h"
#include "console_ids.h"
#include "lock_list_internal.h"
#include "nb/text.h"
#include "placement.h"

namespace nb::console {

using detail::Field;
using detail::SetField;

namespace {

constexpr const char16_t* kBuiltinTitle = u"Nimbra 2.2";
constexpr const char16_t* kUserDbFailedText = u"The user database cannot be opened.";
// An account name no dialog accepts: the probe of the user database never meets a real one.
constexpr const char16_t* kProbeUser = u"\x01";

size_t BaseStart(std::u16string_view path) {
  size_t slash = path.find_last_of(u"\\/");
  return slash == std::u16string_view::npos ? 0 : slash + 1;
}

// The path without the extension of its last component.
std::u16string_view WithoutExtension(std::u16string_view path) {
  size_t dot = path.find_last_of(u'.');
  if (dot == std::u16string_view::npos || dot < BaseStart(path)) return path;
  return path.substr(0, dot);
}

bool EqualIgnoringCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (detail::UpperLetter(a[i]) != detail::UpperLetter(b[i])) return false;
  return true;
}

// `format` with its first "%d" replaced by `code` (the texts come from a resource module,
// never handed to a formatter).
std::u16string WithCode(const std::u16string& format, int code) {
  std::u16string number = nb::text::FormatWide(u"%d", code);
  size_t at = format.find(u"%d");
  if (at == std::u16string::npos) return format;
  return format.substr(0, at) + number + format.substr(at + 2);
}

}  // namespace

const char* StartOutcomeText(StartOutcome outcome) {
  switch (outcome) {
    case StartOutcome::kStarted: return "started";
    case StartOutcome::kRegistrationFailed: return "the console's process could not be registered with the driver";
    case StartOutcome::kVersionFailed: return "the driver's version is unknown or its file is missing";
    case StartOutcome::kOtherConsole: return "another console is running";
    case StartOutcome::kServiceNotRunning: return "the service program is not running";
    case StartOutcome::kUserDbFailed: return "the user database cannot be opened";
    case StartOutcome::kLoginCancelled: return "login cancelled";
  }
  return "unknown";
}

_LCK_PROC_INFORMATION OwnRegistration(std::u16string_view executablePath, DWORD pid) {
  _LCK_PROC_INFORMATION record{};
  std::u16string_view stem = WithoutExtension(executablePath);
  std::u16string name = std::u16string(stem.substr(BaseStart(stem))) + u".exe";
  SetField(record.procName, PROC_NAME_UNITS, name);  // at most 15 characters
  record.permission = PROC_PERMISSION_FULL;
  record.pid = pid;
  return record;
}

std::u16string ResourceModulePath(std::u16string_view executablePath, std::u16string_view languageCode) {
  return std::u16string(WithoutExtension(executablePath)) + u"." + std::u16string(languageCode);
}

bool FindOtherConsole(CVAULTObj& vault, const _LCK_PROC_INFORMATION& own) {
  int count = vault.ProcGlobalCount(false);
  if (count <= 1) return false;
  std::vector<_LCK_PROC_INFORMATION> records(static_cast<size_t>(count));
  if (!vault.ProcGlobalGetInformation(records.data(), count, false)) return false;
  std::u16string ownName = Field(own.procName, PROC_NAME_UNITS);
  for (auto& record : records) {
    std::u16string name = Field(record.procName, PROC_NAME_UNITS);
    if (record.pid == own.pid || !EqualIgnoringCase(name, ownName)) continue;
    int running = vault.ProcCount();
    std::vector<_PROC_INFORMATION> processes(static_cast<size_t>(std::max(running, 0)) + 16);
    int listed = vault.ProcGetList(processes.data(), static_cast<int>(processes.size()));
    // Alive only when that process still runs under the console's name: a process id
    // taken over by another program after a console crashed does not count.
    bool alive = std::any_of(processes.begin(), processes.begin() + std::max(listed, 0),
                             [&](const _PROC_INFORMATION& process) {
                               return process.pid == record.pid &&
                                      EqualIgnoringCase(Field(process.procName, PROC_NAME_UNITS), name);
                             });
    if (alive) return true;
    vault.ProcGlobalRemove(&record, false);  // left behind by a console that ended
  }
  return false;
}

UINT CheckDriverVersion(int* code) {
  int major = 0, minor = 0;
  int result = VAULTVersion(&major, &minor);
  if (result != 0) {
    *code = result;
    return kStrNoVersion;
  }
  result = CheckVAULTDriverPath(major, minor);
  if (result != 0) {
    *code = result;
    return kStrBadVersion;
  }
  *code = 0;
  return 0;
}

// --- The session -------------------------------------------------------------------------

ConsoleSession::ConsoleSession(Profile& profile, StartupHost& host, StringLoader builtinStrings)
    : profile_(profile), host_(host), builtin_(std::move(builtinStrings)) {
  strings_ = builtin_;
}

ConsoleSession::~ConsoleSession() { Unregister(); }

void ConsoleSession::LoadResources(const std::u16string& executablePath) {
  LanguageInfo language{};
  GetDefaultLang(&language);
  std::u16string code = Field(language.code, 3);
  module_ = LoadLibraryW(ResourceModulePath(executablePath, code).c_str());
  if (module_) {
    // A string the module lacks comes from the built-in texts.
    StringLoader fromModule = ModuleStrings(module_);
    StringLoader builtin = builtin_;
    strings_ = [fromModule, builtin](UINT id) {
      std::u16string text = fromModule(id);
      return text.empty() && builtin ? builtin(id) : text;
    };
  } else {
    strings_ = builtin_;
  }
  title_ = strings_ ? strings_(kStrTitle) : std::u16string();
  if (title_.empty()) title_ = kBuiltinTitle;
}

void ConsoleSession::ShowError(UINT id, int code, bool formatted) {
  std::u16string text = strings_ ? strings_(id) : std::u16string();
  if (formatted) text = WithCode(text, code);
  MessageBoxW(host_.Owner(), text.c_str(), title_.c_str(), MB_OK | MB_ICONERROR);
}

StartOutcome ConsoleSession::Start(std::u16string executablePath) {
  if (executablePath.empty()) {
    std::array<WCHAR, 1024> buffer{};
    DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    executablePath.assign(buffer.data(), std::min<size_t>(length, buffer.size()));
  }
  LoadResources(executablePath);

  registration_ = OwnRegistration(executablePath, GetCurrentProcessId());
  if (!vault_.ProcGlobalRegister(&registration_, false)) return StartOutcome::kRegistrationFailed;
  registered_ = true;

  int code = 0;
  if (UINT message = CheckDriverVersion(&code)) {
    ShowError(message, code, true);
    Unregister();
    return StartOutcome::kVersionFailed;
  }
  brand_ = GetCompany();
  if (FindOtherConsole(vault_, registration_)) {
    host_.BringForward(title_);
    Unregister();
    return StartOutcome::kOtherConsole;
  }
  if (!CheckLock()) {
    ShowError(kStrServiceNotRunning, 0, false);
    Unregister();
    return StartOutcome::kServiceNotRunning;
  }
  StartOutcome login = LogIn();
  if (login != StartOutcome::kStarted) {
    Unregister();
    return login;
  }
  host_.Splash(brand_);
  return StartOutcome::kStarted;
}

StartOutcome ConsoleSession::LogIn() {
  std::array<WCHAR, 1024> path{};
  GetDbPath(path.data(), DB_USER);
  userDbPath_ = Field(path.data(), path.size());
  CMdb users(path.data(), false);
  account_ = _PWDTBL{};

  int loggedIn = 0;
  bool decided = false;
  if (users.GetCountPwd() == 0) {
    // No account counted: either the database is empty or it cannot be opened. Only an
    // empty database leads to the first-run path; one that cannot be opened is an error,
    // and nothing is written anywhere.
    _PWDTBL probe{};
    SetField(probe.user, PWD_USER_UNITS, kProbeUser);
    if (!users.UpdatePwd(&probe)) {
      std::u16string text = strings_ ? strings_(kStrUserDbFailed) : std::u16string();
      if (text.empty()) text = kUserDbFailedText;
      MessageBoxW(host_.Owner(), text.c_str(), title_.c_str(), MB_OK | MB_ICONERROR);
      return StartOutcome::kUserDbFailed;
    }
    if (!AdmGet(&account_)) {
      account_ = _PWDTBL{};
      loggedIn = host_.FirstAdministrator(&account_, &users);
      decided = true;
    } else {
      // The registry's administrator becomes the user database's first account.
      account_.admin = 1;
      users.AddPwd(&account_);
      if (users.GetCountPwd() == 0) {
        account_ = _PWDTBL{};
        loggedIn = host_.FirstAdministrator(&account_, &users);
        decided = true;
      }
    }
  }
  if (!decided) {
    _PWDTBL entered{};
    SetField(entered.user, PWD_USER_UNITS, profile_.GetString(kUserSection, kUserValue, u""));
    account_ = entered;
    remember_ = profile_.GetInt(kUserSection, kCheckValue, 0);
    loggedIn = host_.Login(brand_, &account_, &remember_, &users);
  }
  if (loggedIn == 0) return StartOutcome::kLoginCancelled;
  profile_.SetString(kUserSection, kUserValue, Field(account_.user, PWD_USER_UNITS));
  profile_.SetInt(kUserSection, kCheckValue, remember_);
  return StartOutcome::kStarted;
}

bool ConsoleSession::Close(int showCommand, const Rect& normal) {
  std::u16string text = strings_ ? strings_(kStrConfirmExit) : std::u16string();
  if (MessageBoxW(host_.Owner(), text.c_str(), title_.c_str(), MB_YESNO | MB_ICONQUESTION) != IDYES) return false;
  SavePlacement(profile_, showCommand, normal);
  Unregister();
  return true;
}

void ConsoleSession::Unregister() {
  if (!registered_) return;
  vault_.ProcGlobalRemove(&registration_, false);
  registered_ = false;
}

}  // namespace nb::console
