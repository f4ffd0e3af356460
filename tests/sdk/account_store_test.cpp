// The user database through CMdb: accounts named case-sensitively, and the password check.
#include <cstring>
#include <string>

#include "store_fixture.h"

namespace store_test {
namespace {

constexpr const char16_t* kDigestA = u"a94a8fe5ccb19ba61c4c0873d391e987982fbbd3";
constexpr const char16_t* kDigestB = u"62cdb7020ff920e5aa642c3d4066950dd1f01f4d";

class AccountStore : public StoreTest {};

TEST_F(AccountStore, UserNamesAreCaseSensitive) {
  CMdb store(kUserDb, false);
  _PWDTBL upper = MakeAccount(u"Admin", kDigestA, 1, u"first");
  _PWDTBL lower = MakeAccount(u"admin", kDigestB, 0, u"second");
  ASSERT_TRUE(store.AddPwd(&upper));
  ASSERT_TRUE(store.AddPwd(&lower));
  EXPECT_EQ(store.GetCountPwd(), 2);

  _PWDTBL check = MakeAccount(u"ADMIN", kDigestA);
  EXPECT_FALSE(store.CheckPwd(&check));
  check = MakeAccount(u"admin", kDigestA);
  EXPECT_FALSE(store.CheckPwd(&check));  // the other account's password
  check = MakeAccount(u"Admin", kDigestA);
  EXPECT_TRUE(store.CheckPwd(&check));

  _PWDTBL renamed = MakeAccount(u"admin", kDigestB, 0, u"changed");
  EXPECT_TRUE(store.UpdatePwd(&renamed));
  _PWDTBL gone = MakeAccount(u"ADMIN", u"");
  EXPECT_TRUE(store.DelPwd(&gone));  // no such account: nothing to do
  _PWDTBL listed[4];
  ASSERT_EQ(store.GetPwd(listed, 4), 2);
  for (const _PWDTBL& account : {listed[0], listed[1]}) {
    EXPECT_EQ(std::u16string(account.comment), account.admin ? u"first" : u"changed");
  }
}

struct CheckCase {
  const char* name;
  const char16_t* user;
  const char16_t* password;
  bool matches;
};
void PrintTo(const CheckCase& value, std::ostream* out) { *out << value.name; }

class PasswordCheck : public AccountStore, public ::testing::WithParamInterface<CheckCase> {};

// A wrong password leaves every field of the caller's record as it was; the right one
// brings the stored administrator flag and comment.
TEST_P(PasswordCheck, CopiesTheStoredRecordOnlyWhenRight) {
  CMdb store(kUserDb, false);
  _PWDTBL stored = MakeAccount(u"Operator", kDigestA, 1, u"night shift");
  ASSERT_TRUE(store.AddPwd(&stored));

  _PWDTBL caller = MakeAccount(GetParam().user, GetParam().password, 0, u"typed");
  _PWDTBL before = caller;
  EXPECT_EQ(store.CheckPwd(&caller), GetParam().matches);
  if (GetParam().matches) {
    EXPECT_EQ(std::memcmp(&caller, &stored, sizeof caller), 0);
  } else {
    EXPECT_EQ(std::memcmp(&caller, &before, sizeof caller), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PasswordCheck,
    ::testing::Values(CheckCase{"Right", u"Operator", kDigestA, true},
                      CheckCase{"Wrong", u"Operator", kDigestB, false},
                      CheckCase{"UpperCaseDigest", u"Operator", u"A94A8FE5CCB19BA61C4C0873D391E987982FBBD3", false},
                      CheckCase{"PrefixOfDigest", u"Operator", u"a94a8fe5", false},
                      CheckCase{"Empty", u"Operator", u"", false},
                      CheckCase{"OtherCaseUser", u"operator", kDigestA, false},
                      CheckCase{"UnknownUser", u"Nobody", kDigestA, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AccountStore, CheckOnAMissingDatabaseFailsAndLeavesTheRecord) {
  CMdb store(u"C:\\Windows\\Application Data\\NB\\absent", true);
  _PWDTBL caller = MakeAccount(u"Operator", kDigestA, 0, u"typed");
  _PWDTBL before = caller;
  EXPECT_FALSE(store.CheckPwd(&caller));
  EXPECT_EQ(std::memcmp(&caller, &before, sizeof caller), 0);
  EXPECT_EQ(store.GetCountPwd(), 0);
  EXPECT_EQ(store.GetPwd(&caller, 1), 0);
}

TEST_F(AccountStore, UpdateChangesEverythingButTheName) {
  CMdb store(kUserDb, false);
  _PWDTBL account = MakeAccount(u"Operator", kDigestA, 0, u"day");
  ASSERT_TRUE(store.AddPwd(&account));
  _PWDTBL changed = MakeAccount(u"Operator", kDigestB, 1, u"night");
  ASSERT_TRUE(store.UpdatePwd(&changed));
  _PWDTBL check = MakeAccount(u"Operator", kDigestA);
  EXPECT_FALSE(store.CheckPwd(&check));
  check = MakeAccount(u"Operator", kDigestB);
  ASSERT_TRUE(store.CheckPwd(&check));
  EXPECT_EQ(check.admin, 1);
  EXPECT_EQ(std::u16string(check.comment), u"night");
  EXPECT_TRUE(store.DelPwd(&check));
  EXPECT_EQ(store.GetCountPwd(), 0);
}

TEST_F(AccountStore, LongerAndShorterContentsReadAsOneAccount) {
  _PWDTBL account = MakeAccount(u"Operator", kDigestA, 1, u"a comment");
  std::string longer(BytesOf(account));
  longer += std::string(64, '\x7F');
  StoreRaw(kUserDb, "key one", longer);
  // Cut inside the comment: the rest reads as zeros.
  _PWDTBL second = MakeAccount(u"Guest", kDigestB, 0, u"truncated comment");
  StoreRaw(kUserDb, "key two", BytesOf(second).substr(0, offsetof(_PWDTBL, comment) + 6));

  CMdb store(kUserDb, false);
  _PWDTBL check = MakeAccount(u"Operator", kDigestA);
  ASSERT_TRUE(store.CheckPwd(&check));
  EXPECT_EQ(std::memcmp(&check, &account, sizeof check), 0);
  check = MakeAccount(u"Guest", kDigestB);
  ASSERT_TRUE(store.CheckPwd(&check));
  EXPECT_EQ(std::u16string(check.comment), u"tru");
  EXPECT_EQ(store.GetCountPwd(), 2);
}

}  // namespace
}  // namespace store_test
