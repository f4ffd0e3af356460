// Renders each dialog in one language to PNG files: NB_SCREENSHOTS names the folder,
// NB_SCREENSHOT_LANGUAGE the installed language value (2 Japanese, 7 English). Run by
// scripts/screenshots under Xvfb; not a test of the suite.
#include <QDir>
#include <QPixmap>

#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include <windows.h>

#include "NBMgrSDK.h"
#include "NBUtil.h"
#include "dialog_machine.h"
#include "library.h"
#include "nb/win/qt_folder_browser.h"

namespace dialogs_test {
namespace {

class Screenshots : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    const char* language = std::getenv("NB_SCREENSHOT_LANGUAGE");
    SetInstalledLanguage(language ? static_cast<DWORD>(std::atoi(language)) : 7);
    ASSERT_TRUE(nb::dialogs::LoadResources(ProgramFolder()));
    const char* folder = std::getenv("NB_SCREENSHOTS");
    folder_ = folder ? folder : "screenshots";
    QDir().mkpath(QString::fromStdString(folder_));
    std::u16string code = nb::dialogs::ResourceLanguage();
    suffix_ = std::string(code.begin(), code.end());
    for (_PWDTBL* account : {&boss, &ann}) ASSERT_TRUE(users.AddPwd(account));
  }
  // A step that saves the dialog on top and then cancels it.
  Step Shoot(const std::string& name) {
    return [this, name](QWidget* dialog) {
      dialog->adjustSize();
      std::string file = folder_ + "/" + name + "." + suffix_ + ".png";
      EXPECT_TRUE(dialog->grab().save(QString::fromStdString(file))) << file;
      Click(dialog, IDCANCEL);
    };
  }

  std::string folder_, suffix_;
  _PWDTBL boss = MakeAccount(u"Administrator", u"pw", 1), ann = MakeAccount(u"Ann", u"pw", 0, u"Accounts department");
};

TEST_F(Screenshots, EveryDialog) {
  int remember = 1;
  _PWDTBL account = boss;
  Drive([&] { return LoginDialog(0, &account, &remember, &users); }, {Shoot("LoginDialog")});
  Drive([&] { return PwdDialog(boss.user, boss.password); }, {Shoot("PwdDialog")});
  Drive([&] { return ChangePwdDialog(&account, &users); }, {Shoot("ChangePwdDialog")});
  Drive([&] { return AdminDialog(nullptr, 0, &account, &users, &lockDb, 0); }, {Shoot("AdminDialog")});
  _PWDTBL fresh;
  std::memset(&fresh, 0, sizeof fresh);
  Drive([&] { return AdminAddDialog(nullptr, 0, &fresh, &users); }, {Shoot("AdminAddDialog")});
  Drive([&] {
    DefValueDialog();
    return 0;
  },
        {Shoot("DefValueDialog")});
  machine.MakeFolder('D', "\\Data\\Reports");
  _LCK_INFORMAION added;
  std::memset(&added, 0, sizeof added);
  Drive([&] { return AddDialog(nullptr, 0, &added); }, {Shoot("AddDialog")});
  {
    // The folder browser, answered by a script that saves it with a folder selected.
    nb::win::ScopedFolderChooserScript script([&](nb::win::QtFolderChooser& chooser) {
      chooser.Select(u"D:\\Data\\Reports");
      chooser.adjustSize();
      std::string file = folder_ + "/FolderBrowser." + suffix_ + ".png";
      EXPECT_TRUE(chooser.grab().save(QString::fromStdString(file))) << file;
      return false;
    });
    Drive([&] { return AddDialog(nullptr, 0, &added); }, {[](QWidget* dialog) {
            Click(dialog, 1009);
            Click(dialog, IDCANCEL);
          }});
  }
  _LCK_INFORMAION lock = MakeLock(u'D', u"\\Data", util_test::kSerialD, u"");
  lock.timeout = 30;
  Drive([&] { return PropertyDialog(&lock); }, {Shoot("PropertyDialog")});
  SetSystemLanguage(2052);
  Drive([&] {
    SplashDialog(2);
    return 0;
  },
        {[&](QWidget* dialog) {
          std::string file = folder_ + "/SplashDialog." + suffix_ + ".png";
          EXPECT_TRUE(dialog->grab().save(QString::fromStdString(file))) << file;
        }});
}

}  // namespace
}  // namespace dialogs_test
