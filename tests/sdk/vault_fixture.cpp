// The lock object's test machine and record builders.
#include "vault_fixture.h"

#include <algorithm>

namespace vault_test {

namespace {

template <size_t units>
void Put(WCHAR (&field)[units], std::u16string_view text) {
  std::fill(field, field + units, u'\0');
  std::copy_n(text.begin(), std::min(text.size(), units - 1), field);
}

}  // namespace

_LCK_INFORMAION FolderLock(char16_t drive, std::u16string_view path, int mode, int timeout) {
  _LCK_INFORMAION lock{};
  lock.type = LCK_TYPE_FOLDER;
  lock.drive = drive;
  lock.mode = mode;
  lock.timeout = timeout;
  Put(lock.path, path);
  return lock;
}

_LCK_INFORMAION DriveLock(char16_t drive, int mode, int timeout) {
  _LCK_INFORMAION lock{};
  lock.type = LCK_TYPE_DRIVE;
  lock.drive = drive;
  lock.mode = mode;
  lock.timeout = timeout;
  return lock;
}

_LCK_PROC_INFORMATION Trusted(char16_t drive, std::u16string_view path, std::u16string_view name, DWORD pid,
                              int permission) {
  _LCK_PROC_INFORMATION process{};
  process.procDrive = drive;
  Put(process.procPath, path);
  process.scope = path.empty() ? PROC_SCOPE_DRIVE : PROC_SCOPE_FOLDER;
  process.permission = permission;
  Put(process.procName, name);
  process.pid = pid;
  return process;
}

std::u16string PathOf(const _LCK_INFORMAION& lock) { return std::u16string(lock.path); }

std::vector<_LCK_INFORMAION> VaultTest::DriverLocks() {
  int count = util_test::Quietly([&] { return vault.GetLockCount(0); });
  std::vector<_LCK_INFORMAION> locks(static_cast<size_t>(count));
  EXPECT_EQ(util_test::Quietly([&] { return vault.GetLockInfo(locks.data(), count, 0); }), 1);
  return locks;
}

std::vector<std::u16string> VaultTest::Texts() const {
  std::vector<std::u16string> texts;
  for (const nb::win::MessageBoxRequest& box : boxes.Shown()) texts.push_back(box.text);
  return texts;
}

}  // namespace vault_test
