// The account dialogs' decisions over the user database and the registry copy.
#include "account_rules.h"

#include <algorithm>
#include <cstring>

#include "NBUtil.h"

namespace nb::dialogs {

void CopyField(WCHAR* field, size_t units, std::u16string_view text) {
  size_t length = std::min(text.size(), units - 1);
  std::memset(field, 0, units * sizeof(WCHAR));
  std::memcpy(field, text.data(), length * sizeof(WCHAR));
}

std::u16string FieldText(const WCHAR* field, size_t units) {
  size_t length = 0;
  while (length < units && field[length]) ++length;
  return std::u16string(field, length);
}

std::u16string Digest(std::u16string_view password) {
  std::u16string text(password.substr(0, kPasswordChars));
  WCHAR digest[PWD_PASSWORD_UNITS] = {};
  CreatePassword(text.c_str(), static_cast<int>(text.size()), digest, PWD_PASSWORD_UNITS);
  return FieldText(digest, PWD_PASSWORD_UNITS);
}

UINT CheckLogin(std::u16string_view name, std::u16string_view password, _PWDTBL* account, CMdb& users) {
  CopyField(account->user, PWD_USER_UNITS, name);
  if (name.empty()) return kMsgNameEmpty;
  if (password.empty()) return kMsgPasswordEmpty;
  _PWDTBL candidate = *account;
  CopyField(candidate.password, PWD_PASSWORD_UNITS, Digest(password));
  if (!users.CheckPwd(&candidate)) return kMsgWrongOrDiffer;
  *account = candidate;
  return 0;
}

UINT CheckPassword(std::u16string_view password, std::u16string_view digest) {
  if (password.empty()) return kMsgPasswordEmpty;
  return Digest(password) == digest ? 0 : kMsgWrongPassword;
}

UINT ChangePassword(_PWDTBL* account, CMdb& users, std::u16string_view password, std::u16string_view again,
                    std::u16string_view comment) {
  if (password.empty() || again.empty()) return kMsgPasswordEmpty;
  if (password.substr(0, kPasswordChars) != again.substr(0, kPasswordChars)) return kMsgWrongOrDiffer;
  _PWDTBL changed = *account;
  CopyField(changed.password, PWD_PASSWORD_UNITS, Digest(password));
  CopyField(changed.comment, PWD_COMMENT_UNITS, comment);
  if (!users.UpdatePwd(&changed)) return kMsgNotSaved;
  // The registry follows only a change the database holds; when it cannot follow, the
  // database goes back, so the two stores never name different passwords.
  if (changed.admin && !AdmSetEx(&changed)) {
    _PWDTBL before = *account;
    users.UpdatePwd(&before);
    return kMsgNotSaved;
  }
  *account = changed;
  return 0;
}

UINT MakeAccount(std::u16string_view name, std::u16string_view password, std::u16string_view again,
                 std::u16string_view comment, const std::vector<_PWDTBL>& existing, _PWDTBL* out) {
  name = name.substr(0, kUserNameChars);
  if (name.empty()) return kMsgNameEmpty;
  if (password.empty() || again.empty()) return kMsgPasswordEmpty;
  if (password.substr(0, kPasswordChars) != again.substr(0, kPasswordChars)) return kMsgWrongOrDiffer;
  for (const _PWDTBL& account : existing) {
    if (FieldText(account.user, PWD_USER_UNITS) == name) return kMsgNameTaken;
  }
  std::memset(out, 0, sizeof *out);
  CopyField(out->user, PWD_USER_UNITS, name);
  CopyField(out->password, PWD_PASSWORD_UNITS, Digest(password));
  CopyField(out->comment, PWD_COMMENT_UNITS, comment);
  return 0;
}

UINT StoreFirstAdministrator(_PWDTBL* account, CMdb& users) {
  account->admin = 1;
  if (!users.AddPwd(account) || users.GetCountPwd() < 1) return kMsgAccountNotSaved;
  if (!AdmSetEx(account)) {
    users.DelPwd(account);
    return kMsgAccountNotSaved;
  }
  return 0;
}

AccountAdministration::AccountAdministration(_LCK_INFORMAION* locks, int count, _PWDTBL* loggedIn, CMdb* users,
                                             CMdb* lockDb, int brand, bool simplifiedChinese, Unlocker unlock)
    : locks_(locks),
      count_(locks ? std::max(count, 0) : 0),
      loggedIn_(loggedIn),
      users_(users),
      lockDb_(lockDb),
      unlockFirst_(brand == 2 && simplifiedChinese),
      unlock_(std::move(unlock)) {
  Reload();
}

void AccountAdministration::Reload() {
  accounts_.clear();
  int count = users_->GetCountPwd();
  if (count <= 0) return;
  accounts_.resize(static_cast<size_t>(count));
  accounts_.resize(static_cast<size_t>(std::max(users_->GetPwd(accounts_.data(), count), 0)));
}

void AccountAdministration::Add(_PWDTBL* account) {
  users_->AddPwd(account);
  Reload();
}

bool AccountAdministration::OwnsLocks(const _PWDTBL& account, std::vector<_LCK_INFORMAION>* stored) const {
  std::u16string user = FieldText(account.user, PWD_USER_UNITS);
  bool owns = false;
  for (int i = 0; i < count_; ++i) {
    if (FieldText(locks_[i].owner, LCK_OWNER_UNITS) == user) owns = true;
  }
  // The caller's list lacks locks on absent media and locks not started: the lock
  // database has them all.
  if (lockDb_) {
    int count = lockDb_->GetCountLock();
    std::vector<_LCK_INFORMAION> all(static_cast<size_t>(std::max(count, 0)));
    all.resize(static_cast<size_t>(std::max(count > 0 ? lockDb_->GetLock(all.data(), count) : 0, 0)));
    for (const _LCK_INFORMAION& lock : all) {
      if (FieldText(lock.owner, LCK_OWNER_UNITS) != user) continue;
      owns = true;
      if (stored) stored->push_back(lock);
    }
  }
  return owns;
}

UINT AccountAdministration::Delete(const _PWDTBL& account) {
  std::u16string user = FieldText(account.user, PWD_USER_UNITS);
  if (loggedIn_ && FieldText(loggedIn_->user, PWD_USER_UNITS) == user) return kMsgLoggedIn;
  if (!Deletable(account)) return 0;
  _PWDTBL target = account;
  if (!unlockFirst_) {
    if (OwnsLocks(account, nullptr)) return kMsgOwnsLocks;
    users_->DelPwd(&target);
    Reload();
    return 0;
  }
  std::vector<_LCK_INFORMAION> stored;
  OwnsLocks(account, &stored);
  for (int i = 0; i < count_; ++i) {
    if (FieldText(locks_[i].owner, LCK_OWNER_UNITS) != user) continue;
    ++unlocked_;
    if (locks_[i].status != LCK_STATUS_NOT_STARTED && !unlock_(locks_[i])) return 0;
  }
  // A stored lock whose owner is gone is never listed again, yet the service would lock
  // it at every start: its record goes with the account.
  for (_LCK_INFORMAION& lock : stored) {
    if (lockDb_->DelLock(&lock)) continue;
    return 0;
  }
  users_->DelPwd(&target);
  Reload();
  return 0;
}

const _PWDTBL* AccountAdministration::Administrator() const {
  for (const _PWDTBL& account : accounts_) {
    if (account.admin) return &account;
  }
  return nullptr;
}

bool AccountAdministration::MakeAdministrator(const _PWDTBL& account) {
  const _PWDTBL* current = Administrator();
  if (!current || account.admin) return false;
  _PWDTBL oldAdmin = *current, newAdmin = account;
  oldAdmin.admin = 0;
  newAdmin.admin = 1;
  bool moved = false;
  if (users_->UpdatePwd(&oldAdmin)) {
    if (users_->UpdatePwd(&newAdmin)) {
      if (AdmSetEx(&newAdmin)) {
        moved = true;
      } else {
        newAdmin.admin = 0;
        users_->UpdatePwd(&newAdmin);
        oldAdmin.admin = 1;
        users_->UpdatePwd(&oldAdmin);
      }
    } else {
      oldAdmin.admin = 1;
      users_->UpdatePwd(&oldAdmin);
    }
  }
  if (moved && loggedIn_) {
    std::u16string user = FieldText(loggedIn_->user, PWD_USER_UNITS);
    if (user == FieldText(oldAdmin.user, PWD_USER_UNITS)) loggedIn_->admin = 0;
    if (user == FieldText(newAdmin.user, PWD_USER_UNITS)) loggedIn_->admin = 1;
  }
  Reload();
  return moved;
}

}  // namespace nb::dialogs
