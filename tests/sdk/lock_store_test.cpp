// The lock database through CMdb: identity by path and serial, adding, updating,
// deleting and listing, and stored contents of other sizes.
#include <cstring>
#include <vector>

#include "store_fixture.h"

namespace store_test {
namespace {

class LockStore : public StoreTest {
 protected:
  std::vector<_LCK_INFORMAION> List(int max = 16) {
    CMdb store(kLockDb, true);
    std::vector<_LCK_INFORMAION> locks(static_cast<size_t>(max));
    int count = store.GetLock(locks.data(), max);
    locks.resize(static_cast<size_t>(std::max(count, 0)));
    return locks;
  }
};

TEST_F(LockStore, EmptyOrMissingDatabaseHasNoLocks) {
  CMdb installed(kLockDb, true);
  _LCK_INFORMAION slot = MakeLock(u'C', u"\\untouched", 7);
  EXPECT_EQ(installed.GetCountLock(), 0);
  EXPECT_EQ(installed.GetLock(&slot, 1), 0);
  EXPECT_EQ(slot.serial, 7u);

  CMdb missing(u"C:\\Windows\\Application Data\\NB\\absent", false);
  EXPECT_EQ(missing.GetCountLock(), 0);
  EXPECT_EQ(missing.GetLock(&slot, 1), 0);
  _LCK_INFORMAION lock = MakeLock(u'C', u"\\Data", 1);
  EXPECT_FALSE(missing.AddLock(&lock));
  EXPECT_FALSE(missing.UpdateLock(&lock));
  EXPECT_FALSE(missing.DelLock(&lock));
  EXPECT_FALSE(std::filesystem::exists(HostFile(u"C:\\Windows\\Application Data\\NB\\absent")));
}

TEST_F(LockStore, ListStopsAtMaxAndCopiesNothingForZero) {
  CMdb store(kLockDb, false);
  for (DWORD serial = 1; serial <= 3; ++serial) {
    _LCK_INFORMAION lock = MakeLock(u'C', u"\\Data", serial);
    ASSERT_TRUE(store.AddLock(&lock));
  }
  EXPECT_EQ(store.GetCountLock(), 3);
  _LCK_INFORMAION slots[3] = {MakeLock(u'Z', u"\\sentinel", 99), MakeLock(u'Z', u"\\sentinel", 99),
                              MakeLock(u'Z', u"\\sentinel", 99)};
  EXPECT_EQ(store.GetLock(slots, 0), 0);
  EXPECT_EQ(slots[0].serial, 99u);
  EXPECT_EQ(store.GetLock(slots, 2), 2);
  EXPECT_NE(slots[0].serial, 99u);
  EXPECT_NE(slots[1].serial, 99u);
  EXPECT_EQ(slots[2].serial, 99u);  // beyond max: untouched
  EXPECT_EQ(List().size(), 3u);
}

TEST_F(LockStore, IdentityIsPathAndSerial) {
  CMdb store(kLockDb, false);
  _LCK_INFORMAION first = MakeLock(u'E', u"\\Data", 0x1111);
  _LCK_INFORMAION otherVolume = MakeLock(u'E', u"\\Data", 0x2222);
  ASSERT_TRUE(store.AddLock(&first));
  ASSERT_TRUE(store.AddLock(&otherVolume));
  EXPECT_EQ(store.GetCountLock(), 2);

  // The same folder on the same volume under another letter (the disk moved) is that lock.
  _LCK_INFORMAION moved = MakeLock(u'F', u"\\Data", 0x1111, 4);
  moved.type = LCK_TYPE_DRIVE;  // the type does not count either
  EXPECT_TRUE(store.UpdateLock(&moved));
  int readOnly = 0;
  for (const _LCK_INFORMAION& lock : List()) {
    if (lock.serial == 0x1111) {
      EXPECT_EQ(lock.drive, u'F');
      EXPECT_EQ(lock.mode, 4);
      ++readOnly;
    } else {
      EXPECT_EQ(lock.mode, 1);  // the other volume's lock kept its mode
    }
  }
  EXPECT_EQ(readOnly, 1);

  // Case counts in the path: "\data" is no lock stored here.
  _LCK_INFORMAION otherCase = MakeLock(u'E', u"\\data", 0x1111);
  EXPECT_TRUE(store.DelLock(&otherCase));
  EXPECT_EQ(store.GetCountLock(), 2);
  _LCK_INFORMAION byOtherLetter = MakeLock(u'G', u"\\Data", 0x2222);
  EXPECT_TRUE(store.DelLock(&byOtherLetter));
  ASSERT_EQ(List().size(), 1u);
  EXPECT_EQ(List()[0].serial, 0x1111u);
}

TEST_F(LockStore, AddRefusesTheSameBytesButNotTheSameFolder) {
  CMdb store(kLockDb, false);
  _LCK_INFORMAION lock = MakeLock(u'C', u"\\Data", 5);
  EXPECT_TRUE(store.AddLock(&lock));
  EXPECT_FALSE(store.AddLock(&lock));
  // No duplicate check by folder here: callers check first.
  _LCK_INFORMAION sameFolder = lock;
  sameFolder.mode = 4;
  EXPECT_TRUE(store.AddLock(&sameFolder));
  EXPECT_EQ(store.GetCountLock(), 2);
}

TEST_F(LockStore, UpdateOfADeletedLockDoesNotBringItBack) {
  CMdb console(kLockDb, false);
  CMdb dialog(kLockDb, false);
  _LCK_INFORMAION lock = MakeLock(u'C', u"\\Data", 5);
  ASSERT_TRUE(console.AddLock(&lock));
  ASSERT_TRUE(dialog.DelLock(&lock));
  lock.status = LCK_STATUS_PAUSED;
  EXPECT_TRUE(console.UpdateLock(&lock));
  EXPECT_EQ(console.GetCountLock(), 0);
  EXPECT_TRUE(console.DelLock(&lock));  // nothing to delete is no failure
}

TEST_F(LockStore, UpdateKeepsTheFirstKeyAndLaterUpdatesStillFindIt) {
  CMdb store(kLockDb, false);
  _LCK_INFORMAION lock = MakeLock(u'C', u"\\Data", 5);
  ASSERT_TRUE(store.AddLock(&lock));
  for (int minutes = 1; minutes <= 3; ++minutes) {
    lock.timeout = minutes;
    ASSERT_TRUE(store.UpdateLock(&lock));
  }
  ASSERT_EQ(List().size(), 1u);
  EXPECT_EQ(List()[0].timeout, 3);
  // The first record's bytes are still the key: adding them again is refused.
  _LCK_INFORMAION original = MakeLock(u'C', u"\\Data", 5);
  EXPECT_FALSE(store.AddLock(&original));
  EXPECT_TRUE(store.DelLock(&lock));
  EXPECT_EQ(store.GetCountLock(), 0);
}

TEST_F(LockStore, ReadOnlyStoreReadsButChangesNothing) {
  _LCK_INFORMAION lock = MakeLock(u'C', u"\\Data", 5);
  ASSERT_TRUE(CMdb(kLockDb, false).AddLock(&lock));
  CMdb service(kLockDb, true);
  EXPECT_EQ(service.GetCountLock(), 1);
  _LCK_INFORMAION other = MakeLock(u'C', u"\\Other", 5);
  EXPECT_FALSE(service.AddLock(&other));
  lock.mode = 4;
  EXPECT_FALSE(service.UpdateLock(&lock));
  EXPECT_FALSE(service.DelLock(&lock));
  ASSERT_EQ(List().size(), 1u);
  EXPECT_EQ(List()[0].mode, 1);
}

// Stored contents of other sizes than the record: longer ones read the same, shorter ones
// are completed with zeros and never read past their end.
struct ContentSize {
  const char* name;
  size_t size;
};
void PrintTo(const ContentSize& value, std::ostream* out) { *out << value.name; }

class LockContentSize : public LockStore, public ::testing::WithParamInterface<ContentSize> {};

TEST_P(LockContentSize, ReadsAsOneRecord) {
  _LCK_INFORMAION lock = MakeLock(u'D', u"\\Archive", 0xABCD, 4);
  std::string content(BytesOf(lock));
  content.resize(GetParam().size, 'x');
  StoreRaw(kLockDb, BytesOf(lock), content);

  CMdb store(kLockDb, false);
  EXPECT_EQ(store.GetCountLock(), 1);
  _LCK_INFORMAION slot;
  std::memset(&slot, 0x5A, sizeof slot);
  ASSERT_EQ(store.GetLock(&slot, 1), 1);
  _LCK_INFORMAION expected{};
  std::memcpy(&expected, content.data(), std::min(content.size(), sizeof expected));
  EXPECT_EQ(std::memcmp(&slot, &expected, sizeof slot), 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, LockContentSize,
                         ::testing::Values(ContentSize{"Exact", sizeof(_LCK_INFORMAION)},
                                           ContentSize{"Longer", sizeof(_LCK_INFORMAION) + 300},
                                           ContentSize{"OneShort", sizeof(_LCK_INFORMAION) - 1},
                                           ContentSize{"WithoutOwner", offsetof(_LCK_INFORMAION, owner)},
                                           ContentSize{"HalfAPath", offsetof(_LCK_INFORMAION, path) + 9},
                                           ContentSize{"Empty", 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LockStore, ShortContentIsFoundUpdatedAndDeleted) {
  _LCK_INFORMAION lock = MakeLock(u'D', u"\\Archive", 0xABCD, 4);
  // Cut off after the serial: the owner and the real drive read as empty.
  StoreRaw(kLockDb, "an old key", BytesOf(lock).substr(0, offsetof(_LCK_INFORMAION, owner)));
  CMdb store(kLockDb, false);
  lock.mode = 1;
  EXPECT_TRUE(store.UpdateLock(&lock));
  ASSERT_EQ(List().size(), 1u);
  EXPECT_EQ(List()[0].mode, 1);
  EXPECT_TRUE(store.DelLock(&lock));
  EXPECT_EQ(store.GetCountLock(), 0);
}

}  // namespace
}  // namespace store_test
