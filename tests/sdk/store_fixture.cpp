// The store's test machine: drive C: on a temporary folder, the store installed on it.
#include "store_fixture.h"

#include <stdlib.h>

#include <algorithm>
#include <cstring>

#include "nb/text.h"
#include "nb/win/drives.h"
#include "nb/win/host_path.h"

namespace store_test {

namespace fs = std::filesystem;

namespace {

template <size_t units>
void Put(WCHAR (&field)[units], std::u16string_view text) {
  ASSERT_LT(text.size(), units);
  std::copy(text.begin(), text.end(), field);
}

}  // namespace

_LCK_INFORMAION MakeLock(char16_t drive, std::u16string_view path, DWORD serial, int mode) {
  _LCK_INFORMAION lock{};
  lock.type = path.empty() ? LCK_TYPE_DRIVE : LCK_TYPE_FOLDER;
  lock.mode = mode;
  lock.running = 1;
  lock.drive = drive;
  lock.realDrive = drive;
  Put(lock.path, path);
  lock.status = LCK_STATUS_LOCKED;
  lock.serial = serial;
  return lock;
}

_PWDTBL MakeAccount(std::u16string_view user, std::u16string_view password, int admin,
                    std::u16string_view comment) {
  _PWDTBL account{};
  Put(account.user, user);
  Put(account.password, password);
  account.admin = admin;
  Put(account.comment, comment);
  return account;
}

void StoreTest::SetUp() {
  std::string pattern = (fs::temp_directory_path() / "nbstore-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  root_ = pattern;
  drive_ = root_ / "c";
  fs::create_directories(drive_);
  nb::win::MapDrive(u'C', drive_.string());
  ASSERT_TRUE(InstallLockStore(kLockFolder));
}

void StoreTest::TearDown() {
  nb::win::UnmapAllDrives();
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

fs::path StoreTest::HostFile(const char16_t* drivePath) const {
  auto host = nb::win::HostPathOf(nb::text::Utf16ToUtf8(drivePath));
  EXPECT_TRUE(host.has_value());
  return host.value_or("");
}

void StoreTest::StoreRaw(const char16_t* database, std::string_view key, std::string_view content) {
  GDBM_FILE db = gdbm_open(HostFile(database).c_str(), 1024, GDBM_WRITER, 0664, nullptr);
  ASSERT_NE(db, nullptr);
  datum k{const_cast<char*>(key.data()), static_cast<int>(key.size())};
  datum c{const_cast<char*>(content.data()), static_cast<int>(content.size())};
  EXPECT_EQ(gdbm_store(db, k, c, GDBM_REPLACE), 0);
  gdbm_close(db);
}

}  // namespace store_test
