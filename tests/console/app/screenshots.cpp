// Renders the console's main window with a few locks, and its About box, in one language
// to PNG files: NB_SCREENSHOTS names the folder, NB_SCREENSHOT_LANGUAGE the installed
// language value (0 Korean, 1 Chinese, 2 Japanese, 7 English). Run by scripts/screenshots
// under Xvfb; not a test of the suite.
#include <QApplication>
#include <QDir>
#include <QPixmap>

#include <cstdlib>
#include <string>

#include "app_machine.h"
#include "NBUtil.h"
#include "console_ids.h"

namespace app_test {
namespace {

class Screenshots : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    const char* language = std::getenv("NB_SCREENSHOT_LANGUAGE");
    SetInstalledLanguage(language ? static_cast<DWORD>(std::atoi(language)) : 7);
    const char* folder = std::getenv("NB_SCREENSHOTS");
    folder_ = folder ? folder : "screenshots";
    QDir().mkpath(QString::fromStdString(folder_));
    LanguageInfo info{};
    GetDefaultLang(&info);
    std::u16string code(info.code);
    suffix_ = std::string(code.begin(), code.end());
  }
  void Save(QWidget* widget, const std::string& name) {
    QApplication::processEvents();
    std::string file = folder_ + "/" + name + "." + suffix_ + ".png";
    EXPECT_TRUE(widget->grab().save(QString::fromStdString(file))) << file;
  }

  std::string folder_, suffix_;
};

TEST_F(Screenshots, MainWindowAndAbout) {
  AddAccount(u"Administrator", u"pw", 1);
  AddLock("\\Projects", u"Administrator");
  AddLock("\\Reports", u"Administrator", LCK_STATUS_PAUSED, 4);
  AddLock("\\Archive", u"", LCK_STATUS_LOCKED, 4, 15);
  AddLock("\\Private", u"Administrator");
  ASSERT_TRUE(StartAs("Administrator", "pw"));
  Frame()->resize(760, 420);
  View()->SelectRows({0});
  Save(Frame(), "NBAdmin");
  Frame()->Action(nb::console::kCmdTitles)->trigger();
  Save(Frame(), "NBAdmin-Titles");
  Drive([&] { Frame()->Action(nb::console::kCmdHelpAbout)->trigger(); return 0; },
        {[&](QWidget* dialog) {
          dialog->adjustSize();
          Save(dialog, "AboutBox");
          Click(dialog, IDOK);
        }});
}

}  // namespace
}  // namespace app_test
