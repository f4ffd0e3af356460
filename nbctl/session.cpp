// Login, the first administrator, and the passwords read for them.
#include "session.h"

#include <gdbm.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "NBUtil.h"
#include "account_rules.h"
#include "nb/text.h"
#include "nb/win/host_path.h"
#include "profile_file.h"
#include "system.h"
#include "terminal.h"

namespace nb::nbctl {

namespace {

using nb::dialogs::kMsgPasswordEmpty;

constexpr UINT kConsoleTitle = 57344;
constexpr const char16_t* kDefaultTitle = u"Nimbra 2.2";

std::u16string Wide(std::string_view utf8) { return nb::text::Utf8ToUtf16(utf8); }

// The home folder of the user who started nbctl (also under sudo, as the console's
// profile belongs to that user).
std::string InvokingHome() {
  if (const char* sudoUser = std::getenv("SUDO_USER"); sudoUser && *sudoUser) {
    if (passwd* entry = getpwnam(sudoUser)) return entry->pw_dir;
  }
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (passwd* entry = getpwuid(getuid())) return entry->pw_dir;
  return {};
}

// The console's profile file: Qt keeps QSettings("Nimbra Suite", title) as an INI file.
std::u16string LastConsoleUser(const Context& context) {
  std::u16string title = context.consoleTexts ? context.consoleTexts(kConsoleTitle) : std::u16string();
  if (title.empty()) title = kDefaultTitle;
  std::string folder;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config && !std::getenv("SUDO_USER")) {
    folder = config;
  } else {
    std::string home = InvokingHome();
    if (home.empty()) return {};
    folder = home + "/.config";
  }
  std::ifstream file(folder + "/Nimbra Suite/" + nb::text::Utf16ToUtf8(title) + ".conf");
  if (!file) return {};
  std::stringstream text;
  text << file.rdbuf();
  return ProfileUser(text.str());
}

std::optional<std::u16string> ReadPassword(Context& context, const std::string& prompt) {
  std::optional<std::string> line = ReadSecret(prompt, context.options.passwordStdin);
  if (!line) return std::nullopt;
  return Wide(*line);
}

// The first administrator: named by --user or asked for, with a new password.
int CreateFirstAdministrator(Context& context, CMdb& users) {
  std::u16string name;
  if (context.options.user) {
    name = Wide(*context.options.user);
  } else {
    std::optional<std::string> typed =
        context.options.passwordStdin ? std::nullopt : ReadLine("No account exists yet. Administrator's name: ");
    if (!typed) return context.Fail(kExitLogin, "no account exists yet: name the first administrator with --user");
    name = Wide(*typed);
  }
  std::optional<NewPassword> password = ReadNewPassword(context, "the administrator's");
  if (!password) return kExitLogin;
  _PWDTBL account{};
  UINT message = nb::dialogs::MakeAccount(name, password->password, password->again, u"", {}, &account);
  if (message) return context.Refuse(kExitLogin, message);
  if (UINT stored = nb::dialogs::StoreFirstAdministrator(&account, users)) return context.Refuse(kExitSystem, stored);
  context.account = account;
  std::fprintf(stderr, "nbctl: created the administrator account %s\n", nb::text::Utf16ToUtf8(name).c_str());
  return kExitOk;
}

}  // namespace

bool StoreOpens(const std::u16string& drivePath) {
  std::optional<std::string> host = nb::win::HostPathOf(nb::text::Utf16ToUtf8(drivePath));
  if (!host) return false;
  GDBM_FILE file = gdbm_open(host->c_str(), 1024, GDBM_READER, 0664, nullptr);
  if (!file) return false;
  gdbm_close(file);
  return true;
}

std::optional<NewPassword> ReadNewPassword(Context& context, const std::string& whose) {
  if (context.options.passwordStdin) {
    std::optional<std::u16string> line = ReadPassword(context, "");
    if (!line) {
      context.Fail(kExitLogin, "standard input holds no line with " + whose + " new password");
      return std::nullopt;
    }
    return NewPassword{*line, *line};
  }
  std::optional<std::u16string> first = ReadPassword(context, "New password (" + whose + "): ");
  std::optional<std::u16string> again = first ? ReadPassword(context, "New password again: ") : std::nullopt;
  if (!first || !again) {
    context.Fail(kExitLogin, Interrupted() ? "interrupted" : "no terminal to read the password from (use --password-stdin)");
    return std::nullopt;
  }
  return NewPassword{*first, *again};
}

int LogIn(Context& context) {
  WCHAR path[DEFAULT_FOLDER_UNITS] = {};
  if (GetDbPath(path, DB_USER) == 0) return context.Fail(kExitSystem, "the user database cannot be named");
  context.userDbPath = path;
  if (!StoreOpens(context.userDbPath)) {
    return context.Fail(kExitSystem, "the user database " + nb::text::Utf16ToUtf8(context.userDbPath) +
                                         " cannot be opened");
  }
  CMdb users(path, false);
  if (users.GetCountPwd() == 0) {
    _PWDTBL stored{};
    if (!AdmGet(&stored)) return CreateFirstAdministrator(context, users);
    // The registry keeps the administrator when the database lost its accounts.
    stored.admin = 1;
    users.AddPwd(&stored);
    if (users.GetCountPwd() == 0) return CreateFirstAdministrator(context, users);
  }

  std::u16string name = context.options.user ? Wide(*context.options.user) : LastConsoleUser(context);
  if (name.empty()) return context.Fail(kExitLogin, "name the account with --user");
  std::optional<std::u16string> password =
      ReadPassword(context, "Password for " + nb::text::Utf16ToUtf8(name) + ": ");
  if (!password) {
    return context.Fail(kExitLogin, Interrupted()                   ? "interrupted"
                                    : context.options.passwordStdin ? "standard input holds no password line"
                                                                    : "no terminal to read the password from (use --password-stdin)");
  }
  if (password->empty()) return context.Refuse(kExitLogin, kMsgPasswordEmpty);
  _PWDTBL account{};
  if (UINT message = nb::dialogs::CheckLogin(name, *password, &account, users)) {
    return context.Refuse(kExitLogin, message);
  }
  context.account = account;
  return kExitOk;
}

}  // namespace nb::nbctl
