// The console core's test machine.
#include "core_machine.h"


#include <algorithm>


#include "nb/text.h"
#include "nb/win/host_path.h"

namespace core_test {

namespace {

template <size_t units>
void Put(WCHAR (&field)[units], std::u16string_view text) {
  std::fill(field, field + units, u'\0');
  std::copy_n(text.begin(), std::min(text.size(), units - 1), field);
}

}  // namespace

_LCK_INFORMAION FolderLock(char16_t drive, std::u16string_view path, DWORD serial, std::u16string_view owner,
                           int status, int mode) {
  _LCK_INFORMAION lock{};
  lock.type = path.empty() ? LCK_TYPE_DRIVE : LCK_TYPE_FOLDER;
  lock.mode = mode;
  lock.running = 1;
  lock.drive = lock.realDrive = drive;
  Put(lock.path, path);
  lock.status = status;
  lock.serial = serial;
  Put(lock.owner, owner);
  return lock;
}

std::u16string Text(UINT id) { return nb::text::FormatWide(u"#%d", static_cast<int>(id)); }

nb::console::StringLoader TestStrings() { return [](UINT id) { return Text(id); }; }

void CoreTest::SetUp() {
  UtilTest::SetUp();
  ASSERT_TRUE(InstallLockStore(util_test::kDefaultFolder));
  vault.GetDefaultLockFolder();
  vault.GetLockDbPath();
}

_LCK_INFORMAION CoreTest::LockInDriver(char16_t drive, std::u16string_view path, int mode, int timeout,
                                       bool* registered) {
  if (!path.empty()) machine.MakeFolder(static_cast<char>(drive), nb::text::Utf16ToUtf8(path));
  _LCK_INFORMAION lock = FolderLock(drive, path, 0, u"", LCK_STATUS_LOCKED, mode);
  lock.timeout = timeout;
  lock.running = timeout == 0 ? 1 : 0;
  vault.GetVolumeSerial(drive, &lock.serial);
  bool made = false;
  EXPECT_TRUE(vault.AddDevice(&lock, false, &made));
  EXPECT_EQ(vault.Lock(&lock, false), 1);
  if (registered) *registered = made;
  return lock;
}

void CoreTest::Store(const _LCK_INFORMAION& lock) {
  _LCK_INFORMAION copy = lock;
  ASSERT_TRUE(CMdb(kLockDb, false).AddLock(&copy));
}

std::vector<_LCK_INFORMAION> CoreTest::Stored() {
  CMdb store(kLockDb, true);
  std::vector<_LCK_INFORMAION> locks(static_cast<size_t>(store.GetCountLock()));
  locks.resize(static_cast<size_t>(store.GetLock(locks.data(), static_cast<int>(locks.size()))));
  return locks;
}

std::vector<_LCK_INFORMAION> CoreTest::DriverLocks() {
  int count = util_test::Quietly([&] { return vault.GetLockCount(0); });
  std::vector<_LCK_INFORMAION> locks(static_cast<size_t>(count));
  if (count > 0) {
    EXPECT_EQ(util_test::Quietly([&] { return vault.GetLockInfo(locks.data(), count, 0); }), 1);
  }
  return locks;
}

const _LCK_INFORMAION* CoreTest::FindStored(const std::vector<_LCK_INFORMAION>& locks, char16_t drive,
                                            std::u16string_view path) {
  DWORD serial = 0;
  vault.GetVolumeSerial(drive, &serial);
  for (const auto& lock : locks) {
    if (std::u16string_view(lock.path) != path) continue;
    // Stored records carry the serial, driver records the letter.
    if (lock.serial == serial || (lock.serial == 0 && lock.drive == drive)) return &lock;
  }
  return nullptr;
}

bool CoreTest::Registered(DWORD serial) {
  _DRIVESERIAL devices{};
  if (!vault.GetAddedDevice(&devices, false)) return false;
  return std::find(devices.volumeSerial, devices.volumeSerial + devices.count, serial) !=
         devices.volumeSerial + devices.count;
}

std::string CoreTest::HostFile(const char16_t* drivePath) {
  auto host = nb::win::HostPathOf(nb::text::Utf16ToUtf8(drivePath));
  EXPECT_TRUE(host.has_value());
  return host.value_or("");
}

}  // namespace core_test
