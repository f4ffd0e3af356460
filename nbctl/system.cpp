// Language modules, the trusted registration, interruptions, the console notification and
// the failure line of every command.
#include "system.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "NBUtil.h"
#include "context.h"
#include "nb/text.h"
#include "startup.h"

namespace nb::nbctl {

namespace {

volatile std::sig_atomic_t interrupted = 0;

void OnInterrupt(int) { interrupted = 1; }

std::u16string ProgramPath() {
  WCHAR name[MAX_PATH * 4];
  DWORD length = GetModuleFileNameW(nullptr, name, MAX_PATH * 4);
  if (length == 0 || length >= MAX_PATH * 4) return {};
  return std::u16string(name, length);
}

}  // namespace

HMODULE LoadLanguageModule(const char16_t* base) {
  std::u16string program = ProgramPath();
  size_t separator = program.find_last_of(u"\\/");
  if (separator == std::u16string::npos) return nullptr;
  LanguageInfo info{};
  GetDefaultLang(&info);
  std::u16string path = nb::text::FormatWide(u"%s\\%s.%s", program.substr(0, separator).c_str(), base, info.code);
  return LoadLibraryW(path.c_str());
}

TextLoader ModuleTexts(HMODULE module) {
  if (!module) return [](UINT) { return std::u16string(); };
  return nb::console::ModuleStrings(module);
}

TrustedRegistration::TrustedRegistration(CVAULTObj& vault) : vault_(vault) {
  record_ = nb::console::OwnRegistration(ProgramPath(), GetCurrentProcessId());
  registered_ = vault_.ProcGlobalRegister(&record_, false);
  if (!registered_) {
    // An entry with this name and this (living) process's id was left by an earlier
    // process that had the same id and ended without withdrawing it.
    vault_.ProcGlobalRemove(&record_, false);
    registered_ = vault_.ProcGlobalRegister(&record_, false);
  }
}

TrustedRegistration::~TrustedRegistration() {
  if (registered_) vault_.ProcGlobalRemove(&record_, false);
}

void CatchInterrupts() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocking read returns EINTR
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  // A reader that went away (nbctl log --follow | head) shows as a failed write.
  std::signal(SIGPIPE, SIG_IGN);
}

bool Interrupted() { return interrupted != 0; }

void NotifyConsole() {
  HANDLE event = nullptr;
  int error = 0;
  if (!CreateAdminEvent(&event, &error, true)) return;
  SetEvent(event);
  CloseHandle(event);
}

// --- Context ---------------------------------------------------------------------------

std::u16string BuiltInDialogText(UINT number) {
  switch (number) {
    case 1: return u"Enter the password.";
    case 2: return u"The user name or the password is wrong, or the two passwords do not match.";
    case 3: return u"The password is wrong.";
    case 4: return u"This folder or drive is already locked, lies inside a locked folder or holds one.";
    case 21: return u"This folder belongs to the system and cannot be locked.";
    case 30: return u"Enter the user name.";
    case 34: return u"This account owns locks. Unlock them or give them to another account before you delete it.";
    case 36: return u"You cannot delete the account you are logged in with.";
    case 38: return u"An account with this user name already exists.";
    case 42: return u"The new password could not be saved in the user database. Nothing was changed.";
    case 45: return u"The folder %s does not exist.";
    case 46: return u"The account could not be saved. Nothing was changed.";
    case 47: return u"Choose a folder below the root of the drive. To lock the whole drive, choose Drive.";
    case 48: return u"Folders on drive %c: cannot be locked: only fixed and removable drives can.";
    default: return u"";
  }
}

std::string Context::DialogText(UINT number, const std::u16string& argument) const {
  std::u16string format = dialogTexts ? dialogTexts(number) : std::u16string();
  if (format.empty()) format = BuiltInDialogText(number);
  std::u16string text;
  if (format.find(u"%c") != std::u16string::npos) {
    text = nb::text::FormatWide(format.c_str(), argument.empty() ? u'?' : argument[0]);
  } else if (format.find(u"%s") != std::u16string::npos) {
    text = nb::text::FormatWide(format.c_str(), argument.c_str());
  } else {
    text = format;
  }
  return nb::text::Utf16ToUtf8(text);
}

int Context::Fail(int code, const std::string& message) {
  std::string line = "nbctl: " + message;
  for (const std::string& said : presenter.Take()) {
    if (line.find(said) == std::string::npos) line += ": " + said;
  }
  std::fflush(out);
  std::fprintf(stderr, "%s\n", line.c_str());
  return code;
}

int Context::Refuse(int code, UINT dialogMessage, const std::u16string& argument) {
  return Fail(code, DialogText(dialogMessage, argument));
}

void Context::Print(const std::string& text) const { std::fwrite(text.data(), 1, text.size(), out); }

std::u16string Context::AccountName() const {
  return std::u16string(account.user, nb::text::Utf16Length(account.user, PWD_USER_UNITS));
}

}  // namespace nb::nbctl
