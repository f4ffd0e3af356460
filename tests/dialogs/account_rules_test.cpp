// The account dialogs' decisions over the real user and lock databases and the registry:
// login, password changes and their failure, new accounts, deletion and the role.
#include <cstring>

#include <gtest/gtest.h>

#include "NBUtil.h"
#include "account_rules.h"
#include "dialog_machine.h"
#include "settings_dialogs.h"

namespace dialogs_test {
namespace {

using namespace nb::dialogs;
using AccountRulesTest = DialogTest;

std::u16string Field(const WCHAR* field, size_t units) { return FieldText(field, units); }

TEST_F(AccountRulesTest, LoginRefusesEmptyFieldsWrongPasswordsAndUnknownNamesAlike) {
  _PWDTBL boss = MakeAccount(u"Boss", u"secret", 1, u"the administrator");
  ASSERT_TRUE(users.AddPwd(&boss));
  struct Case {
    const char16_t* name;
    const char16_t* password;
    UINT message;
  };
  const Case cases[] = {
      {u"", u"secret", kMsgNameEmpty},     {u"Boss", u"", kMsgPasswordEmpty}, {u"Boss", u"Secret", kMsgWrongOrDiffer},
      {u"boss", u"secret", kMsgWrongOrDiffer}, {u"Nobody", u"secret", kMsgWrongOrDiffer}, {u"Boss", u"secret", 0},
  };
  for (const Case& c : cases) {
    _PWDTBL account;
    std::memset(&account, 0, sizeof account);
    EXPECT_EQ(CheckLogin(c.name, c.password, &account, users), c.message) << std::string(c.name, c.name + 4);
    if (c.message == 0) {
      EXPECT_EQ(account.admin, 1) << "the stored record is handed back";
      EXPECT_EQ(Field(account.comment, PWD_COMMENT_UNITS), u"the administrator");
    } else {
      EXPECT_EQ(account.admin, 0);
    }
  }
}

TEST_F(AccountRulesTest, ASixtyCharacterPasswordSetByAChangeLogsIn) {
  _PWDTBL account = MakeAccount(u"Ann", u"old");
  ASSERT_TRUE(users.AddPwd(&account));
  std::u16string sixty(60, u'x');
  sixty[59] = u'y';
  ASSERT_EQ(ChangePassword(&account, users, sixty, sixty, u""), 0u);
  _PWDTBL login;
  std::memset(&login, 0, sizeof login);
  EXPECT_EQ(CheckLogin(u"Ann", sixty, &login, users), 0u);
  EXPECT_EQ(CheckLogin(u"Ann", sixty.substr(0, 49), &login, users), kMsgWrongOrDiffer) << "not cut at 49";
  EXPECT_EQ(CheckPassword(sixty, Field(account.password, PWD_PASSWORD_UNITS)), 0u);
}

TEST_F(AccountRulesTest, TheAdministratorsChangeReachesTheRegistryAnotherAccountsOnlyTheDatabase) {
  _PWDTBL boss = MakeAccount(u"Boss", u"old", 1), ann = MakeAccount(u"Ann", u"old");
  ASSERT_TRUE(users.AddPwd(&boss));
  ASSERT_TRUE(users.AddPwd(&ann));
  ASSERT_TRUE(AdmSetEx(&boss));

  EXPECT_EQ(ChangePassword(&ann, users, u"new", u"new", u"note"), 0u);
  _PWDTBL registry;
  ASSERT_TRUE(AdmGet(&registry));
  EXPECT_EQ(std::memcmp(&registry, &boss, sizeof boss), 0) << "another account's change leaves the registry";
  EXPECT_EQ(Field(ann.comment, PWD_COMMENT_UNITS), u"note");

  EXPECT_EQ(ChangePassword(&boss, users, u"new", u"new", u""), 0u);
  ASSERT_TRUE(AdmGet(&registry));
  EXPECT_EQ(std::memcmp(&registry, &boss, sizeof boss), 0) << "the administrator's change reaches the registry";
  _PWDTBL login;
  std::memset(&login, 0, sizeof login);
  EXPECT_EQ(CheckLogin(u"Boss", u"new", &login, users), 0u);
  EXPECT_EQ(AdmCheck("Boss", "new"), 1);

  EXPECT_EQ(ChangePassword(&boss, users, u"a", u"b", u""), kMsgWrongOrDiffer);
  EXPECT_EQ(ChangePassword(&boss, users, u"", u"", u""), kMsgPasswordEmpty);
}

TEST_F(AccountRulesTest, AFailedDatabaseWriteChangesNeitherStoreNorTheCallersRecord) {
  _PWDTBL boss = MakeAccount(u"Boss", u"old", 1);
  ASSERT_TRUE(users.AddPwd(&boss));
  ASSERT_TRUE(AdmSetEx(&boss));
  RemoveDatabase("user");
  _PWDTBL before = boss;
  EXPECT_EQ(ChangePassword(&boss, users, u"new", u"new", u"c"), kMsgNotSaved);
  EXPECT_EQ(std::memcmp(&boss, &before, sizeof boss), 0);
  EXPECT_EQ(AdmCheck("Boss", "old"), 1) << "the registry is written only after the database";
}

TEST_F(AccountRulesTest, ARegistryThatCannotFollowPutsTheDatabaseBack) {
  _PWDTBL boss = MakeAccount(u"Boss", u"old", 1);
  ASSERT_TRUE(users.AddPwd(&boss));
  HKEY key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services", 0, KEY_ALL_ACCESS, &key), 0);
  ASSERT_EQ(RegDeleteKeyW(key, u"NBAdmin"), 0);
  RegCloseKey(key);
  EXPECT_EQ(ChangePassword(&boss, users, u"new", u"new", u""), kMsgNotSaved);
  _PWDTBL login;
  std::memset(&login, 0, sizeof login);
  EXPECT_EQ(CheckLogin(u"Boss", u"old", &login, users), 0u);
}

TEST_F(AccountRulesTest, NewAccountsAreCheckedInOrder) {
  std::vector<_PWDTBL> existing = {MakeAccount(u"Boss", u"pw", 1)};
  struct Case {
    const char16_t *name, *password, *again;
    UINT message;
  };
  const Case cases[] = {
      {u"", u"a", u"a", kMsgNameEmpty},       {u"Ann", u"", u"a", kMsgPasswordEmpty},
      {u"Ann", u"a", u"", kMsgPasswordEmpty}, {u"Ann", u"a", u"b", kMsgWrongOrDiffer},
      {u"Boss", u"a", u"a", kMsgNameTaken},   {u"boss", u"a", u"a", 0},
  };
  for (const Case& c : cases) {
    _PWDTBL out;
    EXPECT_EQ(nb::dialogs::MakeAccount(c.name, c.password, c.again, u"c", existing, &out), c.message);
  }
  _PWDTBL out;
  ASSERT_EQ(nb::dialogs::MakeAccount(u"Ann", std::u16string(99, u'p'), std::u16string(99, u'p'), u"note", existing, &out), 0u);
  EXPECT_EQ(out.admin, 0);
  EXPECT_EQ(Field(out.password, PWD_PASSWORD_UNITS), Digest(std::u16string(99, u'p')));
}

TEST_F(AccountRulesTest, TheFirstAdministratorIsStoredInBothOrNeither) {
  _PWDTBL boss = MakeAccount(u"Boss", u"pw");
  ASSERT_EQ(StoreFirstAdministrator(&boss, users), 0u);
  EXPECT_EQ(boss.admin, 1);
  EXPECT_EQ(AdmCheck("Boss", "pw"), 1);
  EXPECT_EQ(users.GetCountPwd(), 1);

  RemoveDatabase("user");
  _PWDTBL other = MakeAccount(u"Other", u"pw");
  EXPECT_EQ(StoreFirstAdministrator(&other, users), kMsgAccountNotSaved);
  EXPECT_EQ(AdmCheck("Boss", "pw"), 1) << "the registry keeps the stored administrator";
}

class AccountAdministrationTest : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    for (_PWDTBL* account : {&boss, &ann, &bob}) ASSERT_TRUE(users.AddPwd(account));
    ASSERT_TRUE(AdmSetEx(&boss));
  }
  AccountAdministration Administration(std::vector<_LCK_INFORMAION>& locks, int brand, bool chinese) {
    return AccountAdministration(locks.data(), static_cast<int>(locks.size()), &loggedIn, &users, &lockDb, brand,
                                 chinese, [this](const _LCK_INFORMAION& lock) {
                                   unlocked.push_back(Field(lock.path, LCK_PATH_UNITS));
                                   return unlockSucceeds;
                                 });
  }
  bool Exists(const char16_t* user) {
    AccountAdministration all(nullptr, 0, nullptr, &users, nullptr, 0, false, {});
    for (const _PWDTBL& account : all.Accounts()) {
      if (Field(account.user, PWD_USER_UNITS) == user) return true;
    }
    return false;
  }

  _PWDTBL boss = MakeAccount(u"Boss", u"pw", 1), ann = MakeAccount(u"Ann", u"pw"), bob = MakeAccount(u"Bob", u"pw");
  _PWDTBL loggedIn = boss;
  std::vector<std::u16string> unlocked;
  bool unlockSucceeds = true;
};

TEST_F(AccountAdministrationTest, TheLoggedInAccountAndTheAdministratorAreNeverDeleted) {
  std::vector<_LCK_INFORMAION> none;
  for (int brand : {0, 2}) {
    AccountAdministration accounts = Administration(none, brand, brand == 2);
    EXPECT_EQ(accounts.Delete(boss), kMsgLoggedIn);
    loggedIn = ann;
    EXPECT_EQ(accounts.Delete(boss), 0u);
    EXPECT_TRUE(Exists(u"Boss")) << "the administrator's row stays, whoever asks";
    loggedIn = boss;
  }
  EXPECT_EQ(Administration(none, 0, false).Delete(bob), 0u);
  EXPECT_FALSE(Exists(u"Bob"));
}

TEST_F(AccountAdministrationTest, AnOwnerOfListedOrOnlyStoredLocksIsKeptInTheDefaultEdition) {
  std::vector<_LCK_INFORMAION> listed = {MakeLock(u'D', u"\\Ann", util_test::kSerialD, u"Ann")};
  EXPECT_EQ(Administration(listed, 0, false).Delete(ann), kMsgOwnsLocks);
  // A lock on a medium that is absent is only in the lock database.
  _LCK_INFORMAION away = MakeLock(u'F', u"\\Bob", 0xF0F0F0F0, u"Bob", LCK_STATUS_NOT_STARTED);
  ASSERT_TRUE(lockDb.AddLock(&away));
  std::vector<_LCK_INFORMAION> none;
  EXPECT_EQ(Administration(none, 0, false).Delete(bob), kMsgOwnsLocks);
  EXPECT_EQ(Administration(none, 2, false).Delete(bob), kMsgOwnsLocks) << "edition 2 elsewhere than on 2052";
  EXPECT_TRUE(Exists(u"Ann"));
  EXPECT_TRUE(Exists(u"Bob"));
  EXPECT_TRUE(unlocked.empty());
}

TEST_F(AccountAdministrationTest, EditionTwoOnSimplifiedChineseUnlocksTheOwnersLocksFirst) {
  std::vector<_LCK_INFORMAION> listed = {MakeLock(u'D', u"\\A1", util_test::kSerialD, u"Ann"),
                                         MakeLock(u'D', u"\\Bob", util_test::kSerialD, u"Bob"),
                                         MakeLock(u'D', u"\\A2", util_test::kSerialD, u"Ann", LCK_STATUS_NOT_STARTED)};
  for (_LCK_INFORMAION& lock : listed) ASSERT_TRUE(lockDb.AddLock(&lock));
  AccountAdministration accounts = Administration(listed, 2, true);
  EXPECT_EQ(accounts.Delete(ann), 0u);
  EXPECT_EQ(unlocked, std::vector<std::u16string>{u"\\A1"}) << "a lock not started is not in the driver";
  EXPECT_EQ(accounts.Unlocked(), 2);
  EXPECT_TRUE(accounts.NotifyShell());
  EXPECT_FALSE(Exists(u"Ann"));
  EXPECT_EQ(lockDb.GetCountLock(), 1) << "the records of the deleted owner go with it";

  unlockSucceeds = false;
  EXPECT_EQ(accounts.Delete(bob), 0u);
  EXPECT_TRUE(Exists(u"Bob")) << "a failing unlock stops the deletion";
  EXPECT_EQ(lockDb.GetCountLock(), 1);
}

TEST_F(AccountAdministrationTest, TheRoleMovesInBothRecordsTheLoggedInFlagAndTheRegistry) {
  std::vector<_LCK_INFORMAION> none;
  AccountAdministration accounts = Administration(none, 0, false);
  ASSERT_NE(accounts.Administrator(), nullptr);
  EXPECT_TRUE(accounts.MakeAdministrator(ann));
  EXPECT_EQ(loggedIn.admin, 0) << "the logged-in record follows at once";
  ASSERT_NE(accounts.Administrator(), nullptr);
  EXPECT_EQ(Field(accounts.Administrator()->user, PWD_USER_UNITS), u"Ann");
  int administrators = 0;
  for (const _PWDTBL& account : accounts.Accounts()) administrators += account.admin;
  EXPECT_EQ(administrators, 1);
  _PWDTBL registry;
  ASSERT_TRUE(AdmGet(&registry));
  EXPECT_EQ(Field(registry.user, PWD_USER_UNITS), u"Ann");
  EXPECT_EQ(registry.admin, 1);
  EXPECT_FALSE(accounts.MakeAdministrator(*accounts.Administrator())) << "already the administrator";
}

TEST_F(AccountAdministrationTest, ARoleThatCannotBeStoredStaysWhereItWas) {
  std::vector<_LCK_INFORMAION> none;
  AccountAdministration accounts = Administration(none, 0, false);
  HKEY key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services", 0, KEY_ALL_ACCESS, &key), 0);
  ASSERT_EQ(RegDeleteKeyW(key, u"NBAdmin"), 0);
  RegCloseKey(key);
  EXPECT_FALSE(accounts.MakeAdministrator(ann));
  EXPECT_EQ(loggedIn.admin, 1);
  ASSERT_NE(accounts.Administrator(), nullptr);
  EXPECT_EQ(Field(accounts.Administrator()->user, PWD_USER_UNITS), u"Boss") << "both records rolled back";

  RemoveDatabase("user");
  AccountAdministration gone = Administration(none, 0, false);
  EXPECT_FALSE(gone.MakeAdministrator(ann));
}

TEST_F(AccountRulesTest, DefaultsAreReadWithinTheirRange) {
  int mode = -1, timeout = -1;
  LoadDefaults(&mode, &timeout);
  EXPECT_EQ(mode, 1);
  EXPECT_EQ(timeout, 0);
  struct Case {
    int storedMode, storedTimeout, mode, timeout;
  };
  const Case cases[] = {{4, 30, 4, 30}, {7, 10000, 1, 10000}, {4, 10001, 4, 10000}, {1, -5, 1, 0},
                        {4, 0x7FFFFFFF, 4, 10000}};
  for (const Case& c : cases) {
    ASSERT_TRUE(SetDefOption(c.storedMode, c.storedTimeout));
    LoadDefaults(&mode, &timeout);
    EXPECT_EQ(mode, c.mode) << c.storedMode;
    EXPECT_EQ(timeout, c.timeout) << c.storedTimeout;
  }
}

}  // namespace
}  // namespace dialogs_test
