// Decoding stored records: every size of content, strings that do not end in their
// fields, and the store skipping such records instead of reading past them.
#include <cstring>
#include <string>

#include "records.h"
#include "store_fixture.h"

namespace store_test {
namespace {

constexpr size_t kLock = sizeof(_LCK_INFORMAION);
constexpr size_t kAccount = sizeof(_PWDTBL);

// Content of `size` bytes: the record's bytes, then 0xEE past its end.
template <class Record>
std::string Content(const Record& record, size_t size) {
  std::string bytes(BytesOf(record));
  bytes.resize(size, '\xEE');
  return bytes;
}

TEST(RecordDecoding, ContentOfEverySizeReadsAsOneRecord) {
  _LCK_INFORMAION lock = MakeLock(u'C', u"\\Data\\Sub", 0x12345678, 4);
  _PWDTBL account = MakeAccount(u"Operator", u"0123456789abcdef0123456789abcdef01234567", 1, u"note");
  for (size_t size : {size_t{0}, size_t{1}, size_t{17}, kAccount - 1, kAccount, kAccount + 1, kLock - 1, kLock,
                      kLock + 1, kLock * 3}) {
    SCOPED_TRACE(size);
    std::string content = Content(lock, size);
    _LCK_INFORMAION decoded;
    std::memset(&decoded, 0x5A, sizeof decoded);
    ASSERT_TRUE(vault::DecodeLock(content.data(), content.size(), &decoded));
    _LCK_INFORMAION expected{};
    std::memcpy(&expected, content.data(), std::min(size, kLock));
    EXPECT_EQ(std::memcmp(&decoded, &expected, kLock), 0);

    content = Content(account, size);
    _PWDTBL decodedAccount;
    std::memset(&decodedAccount, 0x5A, sizeof decodedAccount);
    ASSERT_TRUE(vault::DecodePwd(content.data(), content.size(), &decodedAccount));
    _PWDTBL expectedAccount{};
    std::memcpy(&expectedAccount, content.data(), std::min(size, kAccount));
    EXPECT_EQ(std::memcmp(&decodedAccount, &expectedAccount, kAccount), 0);
  }
  _LCK_INFORMAION fromNothing;
  EXPECT_TRUE(vault::DecodeLock(nullptr, 100, &fromNothing));
  EXPECT_EQ(fromNothing.serial, 0u);
}

// Each string field filled to its end without a NUL makes the record unusable.
struct Unterminated {
  const char* name;
  size_t offset;
  size_t units;
  bool lock;
};
void PrintTo(const Unterminated& value, std::ostream* out) { *out << value.name; }

class UnterminatedField : public ::testing::TestWithParam<Unterminated> {};

TEST_P(UnterminatedField, IsRefused) {
  const Unterminated& field = GetParam();
  std::string content = field.lock ? Content(MakeLock(u'C', u"\\Data", 1), kLock)
                                   : Content(MakeAccount(u"User", u"digest", 0, u"c"), kAccount);
  for (size_t unit = 0; unit < field.units; ++unit) {
    content[field.offset + 2 * unit] = 'A';
    content[field.offset + 2 * unit + 1] = '\0';
  }
  if (field.lock) {
    _LCK_INFORMAION decoded;
    EXPECT_FALSE(vault::DecodeLock(content.data(), content.size(), &decoded));
    EXPECT_FALSE(vault::IsWellFormed(decoded));
  } else {
    _PWDTBL decoded;
    EXPECT_FALSE(vault::DecodePwd(content.data(), content.size(), &decoded));
    EXPECT_FALSE(vault::IsWellFormed(decoded));
  }
  // A NUL in the last unit of the field is enough.
  content[field.offset + 2 * (field.units - 1)] = '\0';
  if (field.lock) {
    _LCK_INFORMAION decoded;
    EXPECT_TRUE(vault::DecodeLock(content.data(), content.size(), &decoded));
  } else {
    _PWDTBL decoded;
    EXPECT_TRUE(vault::DecodePwd(content.data(), content.size(), &decoded));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Fields, UnterminatedField,
    ::testing::Values(Unterminated{"LockPath", offsetof(_LCK_INFORMAION, path), LCK_PATH_UNITS, true},
                      Unterminated{"LockOwner", offsetof(_LCK_INFORMAION, owner), LCK_OWNER_UNITS, true},
                      Unterminated{"User", offsetof(_PWDTBL, user), PWD_USER_UNITS, false},
                      Unterminated{"Password", offsetof(_PWDTBL, password), PWD_PASSWORD_UNITS, false},
                      Unterminated{"Comment", offsetof(_PWDTBL, comment), PWD_COMMENT_UNITS, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RecordComparison, StopsAtTheFieldsEnd) {
  _PWDTBL a = MakeAccount(u"", u"");
  _PWDTBL b = MakeAccount(u"", u"");
  std::fill(std::begin(a.user), std::end(a.user), u'x');
  std::fill(std::begin(b.user), std::end(b.user), u'x');
  a.password[0] = u'p';  // right after the user field: must not be read as part of it
  EXPECT_TRUE(vault::SameUser(a, b));
  b.user[49] = u'y';
  EXPECT_FALSE(vault::SameUser(a, b));
  _LCK_INFORMAION l = MakeLock(u'C', u"\\Data", 1);
  _LCK_INFORMAION m = MakeLock(u'D', u"\\Data", 1);
  m.path[7] = u'z';  // past the NUL: does not count
  EXPECT_TRUE(vault::SameLock(l, m));
  m.serial = 2;
  EXPECT_FALSE(vault::SameLock(l, m));
}

// In the store: a stored account whose name does not end in its field is never matched,
// listed or copied; the well-formed ones around it still work.
class MalformedRecords : public StoreTest {};

TEST_F(MalformedRecords, AnAccountNameWithoutNulIsSkipped) {
  _PWDTBL bad = MakeAccount(u"", u"digest", 1, u"bad");
  std::fill(std::begin(bad.user), std::end(bad.user), u'M');
  StoreRaw(kUserDb, "bad", BytesOf(bad));
  _PWDTBL good = MakeAccount(u"Good", u"digest", 0, u"good");
  CMdb store(kUserDb, false);
  ASSERT_TRUE(store.AddPwd(&good));

  EXPECT_EQ(store.GetCountPwd(), 2);  // the count is of entries
  _PWDTBL slots[2];
  ASSERT_EQ(store.GetPwd(slots, 2), 1);
  EXPECT_EQ(std::u16string(slots[0].user), u"Good");

  _PWDTBL check = bad;  // the caller names the same 50 units
  _PWDTBL before = check;
  EXPECT_FALSE(store.CheckPwd(&check));
  EXPECT_EQ(std::memcmp(&check, &before, sizeof check), 0);
  EXPECT_TRUE(store.DelPwd(&check));  // not found: nothing to do
  EXPECT_EQ(store.GetCountPwd(), 2);
  check = MakeAccount(u"Good", u"digest");
  EXPECT_TRUE(store.CheckPwd(&check));
}

TEST_F(MalformedRecords, ALockPathWithoutNulIsSkipped) {
  _LCK_INFORMAION bad = MakeLock(u'C', u"", 1);
  std::fill(std::begin(bad.path), std::end(bad.path), u'\\');
  StoreRaw(kLockDb, "bad", BytesOf(bad));
  _LCK_INFORMAION good = MakeLock(u'C', u"\\Good", 1);
  CMdb store(kLockDb, false);
  ASSERT_TRUE(store.AddLock(&good));
  _LCK_INFORMAION slots[2];
  ASSERT_EQ(store.GetLock(slots, 2), 1);
  EXPECT_EQ(std::u16string(slots[0].path), u"\\Good");
  EXPECT_TRUE(store.DelLock(&bad));  // never matches: nothing to delete
  EXPECT_EQ(store.GetCountLock(), 2);
  EXPECT_FALSE(store.UpdateLock(&bad));  // and it cannot be stored
}

TEST_F(MalformedRecords, RecordsThatWouldBeStoredUnreadableAreRefused) {
  _LCK_INFORMAION lock = MakeLock(u'C', u"\\Data", 1);
  CMdb locks(kLockDb, false);
  ASSERT_TRUE(locks.AddLock(&lock));
  std::fill(std::begin(lock.owner), std::end(lock.owner), u'o');
  EXPECT_FALSE(locks.AddLock(&lock));
  EXPECT_FALSE(locks.UpdateLock(&lock));
  _LCK_INFORMAION slot;
  ASSERT_EQ(locks.GetLock(&slot, 1), 1);
  EXPECT_EQ(slot.owner[0], u'\0');

  _PWDTBL account = MakeAccount(u"User", u"digest");
  CMdb accounts(kUserDb, false);
  ASSERT_TRUE(accounts.AddPwd(&account));
  std::fill(std::begin(account.comment), std::end(account.comment), u'c');
  EXPECT_FALSE(accounts.UpdatePwd(&account));
  EXPECT_FALSE(accounts.AddPwd(&account));
  _PWDTBL check = MakeAccount(u"User", u"digest");
  ASSERT_TRUE(accounts.CheckPwd(&check));
  EXPECT_EQ(check.comment[0], u'\0');
}

TEST_F(MalformedRecords, LockPaddingIsStoredAsZeros) {
  _LCK_INFORMAION lock = MakeLock(u'C', u"\\Data", 1);
  lock.padding[0] = 0xAB;
  lock.padding[1] = 0xCD;
  CMdb store(kLockDb, false);
  ASSERT_TRUE(store.AddLock(&lock));
  _LCK_INFORMAION slot;
  ASSERT_EQ(store.GetLock(&slot, 1), 1);
  EXPECT_EQ(slot.padding[0], 0);
  EXPECT_EQ(slot.padding[1], 0);
}

}  // namespace
}  // namespace store_test
