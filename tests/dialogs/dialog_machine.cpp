// The dialogs' test machine.
#include "dialog_machine.h"

#include <QTest>

#include <cstring>
#include <filesystem>

#include "NBUtil.h"
#include "library.h"
#include "account_rules.h"
#include "nb/text.h"

namespace dialogs_test {

std::u16string ProgramFolder() {
  std::string folder = std::filesystem::canonical("/proc/self/exe").parent_path().string();
  return u"\\\\?\\unix\\" + std::u16string(folder.begin(), folder.end());
}

_PWDTBL MakeAccount(std::u16string_view user, std::u16string_view password, int admin, std::u16string_view comment) {
  _PWDTBL account;
  std::memset(&account, 0, sizeof account);
  nb::dialogs::CopyField(account.user, PWD_USER_UNITS, user);
  nb::dialogs::CopyField(account.password, PWD_PASSWORD_UNITS, nb::dialogs::Digest(password));
  account.admin = admin;
  nb::dialogs::CopyField(account.comment, PWD_COMMENT_UNITS, comment);
  return account;
}

_LCK_INFORMAION MakeLock(char16_t drive, std::u16string_view path, DWORD serial, std::u16string_view owner,
                         int status) {
  _LCK_INFORMAION lock;
  std::memset(&lock, 0, sizeof lock);
  lock.type = path.empty() ? LCK_TYPE_DRIVE : LCK_TYPE_FOLDER;
  lock.mode = 1;
  lock.drive = lock.realDrive = drive;
  nb::dialogs::CopyField(lock.path, LCK_PATH_UNITS, path);
  lock.status = status;
  lock.serial = serial;
  nb::dialogs::CopyField(lock.owner, LCK_OWNER_UNITS, owner);
  return lock;
}

std::u16string Text(UINT id) { return nb::dialogs::TextW(id); }

void DialogTest::SetUp() {
  UtilTest::SetUp();
  ASSERT_TRUE(InstallLockStore(util_test::kDefaultFolder));
  ASSERT_TRUE(nb::dialogs::LoadResources(ProgramFolder())) << "NBMgrSDK.EN beside the program";
}

void DialogTest::TearDown() { nb::dialogs::UnloadResources(); }

void DialogTest::SetInstalledLanguage(DWORD value) {
  std::u16string key = std::u16string(u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\") + NBUTIL_INSTALL_ID;
  util_test::UtilMachine::MakeKey(key.c_str());
  util_test::UtilMachine::SetValue(key.c_str(), u"LANGUAGE", REG_DWORD, &value, sizeof value);
}

void DialogTest::SetSystemLanguage(LANGID language) {
  const char16_t* key = u"SYSTEM\\CurrentControlSet\\Control\\Nls\\Language";
  util_test::UtilMachine::MakeKey(key);
  std::u16string text = nb::text::FormatWide(u"%04x", language);
  util_test::UtilMachine::SetValue(key, u"Default", REG_SZ, text.c_str(),
                                   static_cast<DWORD>((text.size() + 1) * sizeof(char16_t)));
}

void DialogTest::RemoveDatabase(const char* name) {
  std::filesystem::remove(machine.Folder('C') / "Windows" / "Application Data" / "NB" / name);
}

void Type(QWidget* dialog, int id, const QString& text) {
  auto* edit = Control<QLineEdit>(dialog, id);
  if (!edit) return;
  edit->clear();
  QTest::keyClicks(edit, text);
}

void Click(QWidget* dialog, int id) {
  if (auto* button = Control<QAbstractButton>(dialog, id)) button->click();
}

}  // namespace dialogs_test
