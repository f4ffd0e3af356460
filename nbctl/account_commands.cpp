// account list|add|delete|passwd and defaults: the account dialogs' and the defaults
// dialog's rules on the user database, the registry copy and the defaults value.
#include <algorithm>
#include <memory>

#include "NBUtil.h"
#include "account_rules.h"
#include "commands.h"
#include "lock_list.h"
#include "nb/text.h"
#include "session.h"
#include "system.h"

namespace nb::nbctl {

namespace {

using nb::dialogs::FieldText;

constexpr LANGID kSimplifiedChinese = 2052;

std::string Utf8(std::u16string_view text) { return nb::text::Utf16ToUtf8(text); }

std::vector<_PWDTBL> Accounts(CMdb& users) {
  int count = users.GetCountPwd();
  std::vector<_PWDTBL> accounts(static_cast<size_t>(std::max(count, 0)));
  if (count > 0) accounts.resize(static_cast<size_t>(std::max(users.GetPwd(accounts.data(), count), 0)));
  return accounts;
}

const _PWDTBL* Named(const std::vector<_PWDTBL>& accounts, std::u16string_view name) {
  for (const _PWDTBL& account : accounts) {
    if (FieldText(account.user, PWD_USER_UNITS) == name) return &account;
  }
  return nullptr;
}

int RunAccountList(Context& context, CMdb& users) {
  std::vector<_PWDTBL> accounts = Accounts(users);
  if (context.options.json) {
    std::vector<std::string> objects;
    for (const _PWDTBL& account : accounts) {
      objects.push_back(JsonObject()
                            .Add("user", std::u16string_view(FieldText(account.user, PWD_USER_UNITS)))
                            .Add("administrator", account.admin != 0)
                            .Add("comment", std::u16string_view(FieldText(account.comment, PWD_COMMENT_UNITS)))
                            .Text());
    }
    context.Print(JsonArray(objects) + "\n");
    return kExitOk;
  }
  std::vector<std::vector<std::string>> rows;
  for (const _PWDTBL& account : accounts) {
    rows.push_back({Utf8(FieldText(account.user, PWD_USER_UNITS)), account.admin ? "administrator" : "",
                    Utf8(FieldText(account.comment, PWD_COMMENT_UNITS))});
  }
  context.Print(FormatTable({"User", "Role", "Comment"}, rows));
  return kExitOk;
}

int RunAccountAdd(Context& context, CMdb& users) {
  std::u16string name = nb::text::Utf8ToUtf16(context.options.args[0]);
  std::vector<_PWDTBL> existing = Accounts(users);
  if (Named(existing, name)) return context.Refuse(kExitRefused, nb::dialogs::kMsgNameTaken);
  std::optional<NewPassword> password = ReadNewPassword(context, Utf8(name) + "'s");
  if (!password) return kExitLogin;
  _PWDTBL account{};
  UINT message = nb::dialogs::MakeAccount(name, password->password, password->again,
                                          nb::text::Utf8ToUtf16(context.options.comment), existing, &account);
  if (message) return context.Refuse(kExitRefused, message);
  if (!users.AddPwd(&account) || !Named(Accounts(users), FieldText(account.user, PWD_USER_UNITS))) {
    return context.Refuse(kExitSystem, nb::dialogs::kMsgAccountNotSaved);
  }
  return kExitOk;
}

int RunAccountDelete(Context& context, CMdb& users) {
  std::u16string name = nb::text::Utf8ToUtf16(context.options.args[0]);
  std::vector<_PWDTBL> accounts = Accounts(users);
  const _PWDTBL* target = Named(accounts, name);
  if (!target) return context.Fail(kExitRefused, "no account named " + Utf8(name));
  if (FieldText(context.account.user, PWD_USER_UNITS) == name) {
    return context.Refuse(kExitRefused, nb::dialogs::kMsgLoggedIn);
  }
  if (!nb::dialogs::AccountAdministration::Deletable(*target)) {
    return context.Fail(kExitRefused, "the administrator account cannot be deleted");
  }
  // The account's locks as the console lists them (also those of other owners: the rules
  // look for the account's own).
  nb::console::LockListConfig config;
  config.account = context.AccountName();
  nb::console::LockList list(context.vault, std::move(config));
  list.Reload(false);
  std::vector<_LCK_INFORMAION> locks = list.Array();
  CMdb lockDb(context.vault.lockDbPath, false);
  auto unlock = [&](const _LCK_INFORMAION& lock) {
    _LCK_INFORMAION copy = lock;
    return context.vault.UnLock(&copy, true) != 0;
  };
  nb::dialogs::AccountAdministration administration(locks.empty() ? nullptr : locks.data(),
                                                    static_cast<int>(locks.size()), &context.account, &users, &lockDb,
                                                    GetCompany(), GetSystemDefaultLangID() == kSimplifiedChinese,
                                                    unlock);
  _PWDTBL copy = *target;
  if (UINT message = administration.Delete(copy)) return context.Refuse(kExitRefused, message);
  if (administration.Unlocked() > 0) NotifyConsole();
  if (Named(Accounts(users), name)) return context.Fail(kExitSystem, "the account " + Utf8(name) + " could not be deleted");
  return kExitOk;
}

int RunPasswordChange(Context& context, CMdb& users) {
  std::optional<NewPassword> password = ReadNewPassword(context, "your");
  if (!password) return kExitLogin;
  std::u16string comment = context.options.comment.empty()
                               ? FieldText(context.account.comment, PWD_COMMENT_UNITS)
                               : nb::text::Utf8ToUtf16(context.options.comment);
  UINT message = nb::dialogs::ChangePassword(&context.account, users, password->password, password->again, comment);
  if (message == nb::dialogs::kMsgNotSaved) return context.Refuse(kExitSystem, message);
  if (message) return context.Refuse(kExitRefused, message);
  return kExitOk;
}

}  // namespace

int RunAccount(Context& context) {
  CMdb users(context.userDbPath.c_str(), false);
  const std::string& action = context.options.action;
  if (action == "list") return RunAccountList(context, users);
  if (action == "add") return RunAccountAdd(context, users);
  if (action == "delete") return RunAccountDelete(context, users);
  return RunPasswordChange(context, users);
}

int RunDefaults(Context& context) {
  const Options& options = context.options;
  if (options.mode) {
    if (!SetDefOption(*options.mode, *options.timeout)) {
      DWORD error = GetLastError();
      WCHAR text[1024] = {};
      SysMessage(error, text);
      return context.Fail(kExitSystem, "the defaults could not be saved (error " + std::to_string(error) + ": " +
                                           Utf8(text) + ")");
    }
    return kExitOk;
  }
  int mode = 1, timeout = 0;
  if (!GetDefOption(&mode, &timeout)) mode = 1, timeout = 0;
  context.Print(std::string(mode == kModeReadOnly ? "readonly" : "hidden") + " " +
                std::to_string(std::clamp(timeout, 0, kTimeoutMax)) + "\n");
  return kExitOk;
}

}  // namespace nb::nbctl
