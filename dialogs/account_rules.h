// What the account dialogs decide, without widgets: login, password checks, password
// changes, new accounts and the account administration (deletion, the administrator
// role). Each answer is the number of the message to show, 0 when there is none.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <windows.h>

#include "VAULTSdk.h"

namespace nb::dialogs {

// Longest texts the fields take, in characters (the record's field less its NUL; every
// password field takes 99).
inline constexpr int kUserNameChars = PWD_USER_UNITS - 1;
inline constexpr int kPasswordChars = 99;
inline constexpr int kCommentChars = PWD_COMMENT_UNITS - 1;

// Message numbers of the account dialogs.
inline constexpr UINT kMsgPasswordEmpty = 1;
inline constexpr UINT kMsgWrongOrDiffer = 2;
inline constexpr UINT kMsgWrongPassword = 3;
inline constexpr UINT kMsgNameEmpty = 30;
inline constexpr UINT kMsgOwnsLocks = 34;
inline constexpr UINT kMsgLoggedIn = 36;
inline constexpr UINT kMsgNameTaken = 38;
inline constexpr UINT kMsgNotSaved = 42;
inline constexpr UINT kMsgAccountNotSaved = 46;

// Copies `text` into a fixed field, cut to the field less its NUL, zero-filling the rest.
void CopyField(WCHAR* field, size_t units, std::u16string_view text);
// The text of a fixed field, up to its NUL or its end.
std::u16string FieldText(const WCHAR* field, size_t units);
// The digest of a password as the stores keep it.
std::u16string Digest(std::u16string_view password);

// Login: the name and password against the user database; on success `account` holds
// the stored record, else it keeps its name only.
UINT CheckLogin(std::u16string_view name, std::u16string_view password, _PWDTBL* account, CMdb& users);
// A known account's password against its stored digest: 0, 1 (empty) or 3 (wrong).
UINT CheckPassword(std::u16string_view password, std::u16string_view digest);
// Changes the logged-in account's password and comment: the user database first, then,
// for the administrator, the registry copy; a failure of either leaves both stores and
// `account` as they were and answers kMsgNotSaved.
UINT ChangePassword(_PWDTBL* account, CMdb& users, std::u16string_view password, std::u16string_view again,
                    std::u16string_view comment);
// A new account from the add form: 30, 1, 2 or 38 (a name of `existing` taken), else 0
// with `out` filled (administrator flag 0).
UINT MakeAccount(std::u16string_view name, std::u16string_view password, std::u16string_view again,
                 std::u16string_view comment, const std::vector<_PWDTBL>& existing, _PWDTBL* out);
// The first administrator: stored in the user database, then in the registry; on a
// failure of either nothing is kept and the answer is kMsgAccountNotSaved.
UINT StoreFirstAdministrator(_PWDTBL* account, CMdb& users);

// The account administration over the user database, the caller's lock list and the lock
// database.
class AccountAdministration {
 public:
  // Unlocks one lock in the driver, showing its own failure; true on success.
  using Unlocker = std::function<bool(const _LCK_INFORMAION&)>;

  AccountAdministration(_LCK_INFORMAION* locks, int count, _PWDTBL* loggedIn, CMdb* users, CMdb* lockDb, int brand,
                        bool simplifiedChinese, Unlocker unlock);

  // Reads the accounts again, in store order.
  void Reload();
  const std::vector<_PWDTBL>& Accounts() const { return accounts_; }

  // Stores a new account (the add dialog checked it) and reads the accounts again.
  void Add(_PWDTBL* account);

  // Whether the account may be deleted at all (never the administrator).
  static bool Deletable(const _PWDTBL& account) { return account.admin == 0; }
  // Deletes an account after the user confirmed: kMsgLoggedIn for the logged-in account,
  // kMsgOwnsLocks for an owner of locks in the default edition; in edition 2 on a
  // Simplified-Chinese system its locks are unlocked (a failing unlock stops, answering
  // 0 with nothing deleted) and their records removed. Answers 0 otherwise.
  UINT Delete(const _PWDTBL& account);
  // Locks unlocked by deletions so far.
  int Unlocked() const { return unlocked_; }
  // Whether the shell should hear of changed folders (locks were unlocked).
  bool NotifyShell() const { return unlocked_ > 0; }

  // The current administrator, or null.
  const _PWDTBL* Administrator() const;
  // Moves the administrator role to `account`: both records in the user database (undone
  // when either write fails), the logged-in record's flag and the registry copy. False
  // when nothing moved.
  bool MakeAdministrator(const _PWDTBL& account);

 private:
  bool OwnsLocks(const _PWDTBL& account, std::vector<_LCK_INFORMAION>* stored) const;

  _LCK_INFORMAION* locks_;
  int count_;
  _PWDTBL* loggedIn_;
  CMdb* users_;
  CMdb* lockDb_;
  bool unlockFirst_;
  Unlocker unlock_;
  int unlocked_ = 0;
  std::vector<_PWDTBL> accounts_;
};

}  // namespace nb::dialogs
