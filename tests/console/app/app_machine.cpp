// The console program's test machine.
#include "app_machine.h"

#include <QApplication>
#include <QSettings>
#include <QTimer>

#include <fstream>

#include "NBUtil.h"
#include "settings_profile.h"

namespace app_test {

namespace {

constexpr const char16_t* kServiceMutex = u"Global\\NBSVC SERVICE MUTEX";
constexpr const char* kTitle = "Nimbra 2.2";

HMODULE EnglishModule() {
  static HMODULE module = LoadLibraryW((ConsolePath() + u".EN").c_str());
  return module;
}

void ClearProfile() { QSettings(nb::console::kProfileOrganization, kTitle).clear(); }

}  // namespace

std::u16string ConsolePath() { return dialogs_test::ProgramFolder() + u"\\NBAdmin"; }

QString ConsoleText(UINT id) {
  const WCHAR* text = nullptr;
  int length = LoadStringW(EnglishModule(), id, reinterpret_cast<LPWSTR>(&text), 0);
  return length > 0 ? QString::fromUtf16(text, length) : QString();
}

void AppTest::SetUp() {
  DialogTest::SetUp();
  ASSERT_NE(EnglishModule(), nullptr) << "NBAdmin.EN beside the program";
  serviceMutex = CreateMutexW(nullptr, FALSE, kServiceMutex);
  ASSERT_NE(serviceMutex, nullptr);
  // The driver's file of its own version, as the service installs it.
  int major = 0, minor = 0;
  ASSERT_EQ(VAULTVersion(&major, &minor), 0);
  std::ofstream(machine.Folder('C') / "Windows" / "Application Data" / "NB" /
                ("nbfs" + std::to_string(major) + std::to_string(minor) + ".sys"))
      << "driver";
  ClearProfile();
}

void AppTest::TearDown() {
  if (app && app->Frame()) app->Frame()->hide();
  app.reset();
  if (serviceMutex) CloseHandle(serviceMutex);
  ClearProfile();
  DialogTest::TearDown();
}

void AppTest::AddAccount(std::u16string_view user, std::u16string_view password, int admin) {
  _PWDTBL account = dialogs_test::MakeAccount(user, password, admin);
  ASSERT_TRUE(users.AddPwd(&account));
}

_LCK_INFORMAION AppTest::AddLock(const std::string& path, std::u16string_view owner, int status, int mode,
                                 int timeout) {
  machine.MakeFolder('D', path);
  std::u16string widePath(path.begin(), path.end());
  _LCK_INFORMAION lock = dialogs_test::MakeLock(u'D', widePath, util_test::kSerialD, owner);
  lock.mode = mode;
  lock.timeout = timeout;
  lock.running = timeout == 0 ? 1 : 0;
  CVAULTObj vault;
  EXPECT_EQ(util_test::Quietly([&] { return vault.Lock(&lock, 0); }), 1);
  if (status == 0) {
    EXPECT_EQ(util_test::Quietly([&] { return vault.PauseLock(&lock, 0); }), 1);
  }
  lock.status = status;
  EXPECT_TRUE(lockDb.AddLock(&lock));
  return lock;
}

Step AppTest::LogIn(const QString& user, const QString& password) {
  return [=](QWidget* dialog) {
    Type(dialog, 9031, user);
    Type(dialog, 1007, password);
    Click(dialog, IDOK);
  };
}

bool AppTest::StartAs(const QString& user, const QString& password) {
  app = std::make_unique<CNBAdminApp>(ConsolePath());
  bool started = Drive([&] { return app->InitInstance(); }, {LogIn(user, password)});
  return started && app->Frame() && app->Frame()->isVisible();
}

bool AppTest::OpensModal(const std::function<void()>& call) {
  bool opened = false;
  QTimer timer;
  timer.setInterval(5);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
      opened = true;
      dialog->reject();
    }
  });
  timer.start();
  call();
  timer.stop();
  return opened;
}

}  // namespace app_test
