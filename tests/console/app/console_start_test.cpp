// The console's start-up, placement and exit, run through the program's own classes.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QMenuBar>
#include <QScreen>
#include <QSettings>
#include <QFile>
#include <QTemporaryDir>

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "app_machine.h"
#include "console_ids.h"
#include "nb/win/qt_windows.h"
#include "settings_profile.h"

namespace app_test {
namespace {

using namespace nb::console;

QSettings Profile() { return QSettings(kProfileOrganization, "Nimbra 2.2"); }

int Registrations() {
  CVAULTObj vault;
  return vault.ProcGlobalCount(false);
}

TEST_F(AppTest, FirstStartWithoutAccountCreatesTheAdministratorWhoMayAdministrate) {
  app = std::make_unique<CNBAdminApp>(ConsolePath());
  QString title;
  bool started = Drive([&] { return app->InitInstance(); },
                       {[&](QWidget* dialog) {
                         title = dialog->windowTitle();
                         Type(dialog, 9031, "Boss");
                         Type(dialog, 1004, "pw");
                         Type(dialog, 1005, "pw");
                         Click(dialog, IDOK);
                       }});
  ASSERT_TRUE(started);
  EXPECT_EQ(title.toStdU16String(), dialogs_test::Text(33)) << "the first-administrator dialog, not the login";
  EXPECT_EQ(std::u16string(app->Account().user), u"Boss");
  ASSERT_NE(Frame()->Action(kCmdAdministrator), nullptr);
  EXPECT_TRUE(Frame()->Action(kCmdAdministrator)->isEnabled());
  EXPECT_EQ(Frame()->windowTitle(), "Nimbra 2.2");
  EXPECT_EQ(Profile().value("User/User").toString(), "Boss");
  EXPECT_TRUE(boxes.Shown().empty());
}

TEST_F(AppTest, AnOrdinaryAccountCannotAdministrate) {
  AddAccount(u"Boss", u"pw", 1);
  AddAccount(u"Ann", u"x", 0);
  ASSERT_TRUE(StartAs("Ann", "x"));
  EXPECT_FALSE(Frame()->Action(kCmdAdministrator)->isEnabled());
  EXPECT_TRUE(Frame()->Action(kCmdChangePassword)->isEnabled());
}

TEST_F(AppTest, ASecondConsoleAsksTheFirstForwardAndEndsSilently) {
  AddAccount(u"Boss", u"pw", 1);
  // The first console: a live process of the console's name (a copy of sleep called
  // NBAdmin) with its window minimised.
  QTemporaryDir folder;
  std::string program = (folder.path() + "/NBAdmin").toStdString();
  ASSERT_TRUE(QFile::copy("/bin/sleep", QString::fromStdString(program)));
  pid_t first = fork();
  ASSERT_GE(first, 0);
  if (first == 0) {
    execl(program.c_str(), "NBAdmin", "60", static_cast<char*>(nullptr));
    _exit(127);
  }
  _LCK_PROC_INFORMATION registration = OwnRegistration(ConsolePath(), static_cast<DWORD>(first));
  CVAULTObj vault;
  ASSERT_TRUE(vault.ProcGlobalRegister(&registration, false));
  QWidget window;
  window.setWindowTitle("Nimbra 2.2");
  window.showMinimized();
  nb::win::WindowBeacon beacon(&window, u"Nimbra 2.2");
  ASSERT_TRUE(beacon.Active());
  int before = Registrations();

  app = std::make_unique<CNBAdminApp>(ConsolePath());
  bool opened = OpensModal([&] { EXPECT_FALSE(app->InitInstance()); });
  EXPECT_FALSE(opened) << "no login for a second console";
  EXPECT_EQ(app->Outcome(), StartOutcome::kOtherConsole);
  EXPECT_TRUE(boxes.Shown().empty()) << "silently";
  EXPECT_EQ(app->Frame(), nullptr);
  for (int i = 0; i < 100 && window.isMinimized(); ++i) {
    QApplication::processEvents();
    usleep(10000);
  }
  EXPECT_FALSE(window.isMinimized()) << "the first console's window is restored";
  EXPECT_EQ(Registrations(), before) << "the second console's registration is withdrawn";

  vault.ProcGlobalRemove(&registration, false);
  kill(first, SIGKILL);
  waitpid(first, nullptr, 0);
}

TEST_F(AppTest, WithoutTheServiceTheConsoleSaysSoAndEnds) {
  AddAccount(u"Boss", u"pw", 1);
  CloseHandle(serviceMutex);
  serviceMutex = nullptr;
  boxes.Answer(IDOK);
  app = std::make_unique<CNBAdminApp>(ConsolePath());
  EXPECT_FALSE(app->InitInstance());
  EXPECT_EQ(app->Outcome(), StartOutcome::kServiceNotRunning);
  ASSERT_EQ(boxes.Shown().size(), 1u);
  EXPECT_EQ(QString::fromStdU16String(boxes.Shown()[0].text), ConsoleText(kStrServiceNotRunning));
}

struct PlacementCase {
  const char* name;
  std::map<QString, int> saved;  // "Frame" values
  QSize size;                    // the window's size
  bool defaultPosition;
};

class PlacementTest : public AppTest, public ::testing::WithParamInterface<PlacementCase> {};

TEST_P(PlacementTest, SavedValuesPlaceTheWindow) {
  AddAccount(u"Boss", u"pw", 1);
  {
    QSettings profile = Profile();
    for (const auto& [name, value] : GetParam().saved) profile.setValue("Frame/" + name, value);
  }
  ASSERT_TRUE(StartAs("Boss", "pw"));
  EXPECT_EQ(Frame()->Placement().defaultPosition, GetParam().defaultPosition);
  EXPECT_EQ(Frame()->size(), GetParam().size);
  EXPECT_FALSE(Frame()->isMinimized()) << "the window is never opened as an icon";
}

const QSize kDefault(680, 420), kSaved(400, 300);

INSTANTIATE_TEST_SUITE_P(
    Frame, PlacementTest,
    ::testing::Values(
        PlacementCase{"Complete", {{"Status", 1}, {"Top", 10}, {"Left", 20}, {"Bottom", 310}, {"Right", 420}}, kSaved, false},
        PlacementCase{"NoRight", {{"Status", 1}, {"Top", 10}, {"Left", 20}, {"Bottom", 310}}, kDefault, true},
        PlacementCase{"NoStatus", {{"Top", 10}, {"Left", 20}, {"Bottom", 310}, {"Right", 420}}, kDefault, true},
        PlacementCase{"Nothing", {}, kDefault, true},
        PlacementCase{"ClosedMinimised", {{"Status", 2}, {"Top", 10}, {"Left", 20}, {"Bottom", 310}, {"Right", 420}}, kSaved, false},
        PlacementCase{"RightBeforeLeft", {{"Status", 1}, {"Top", 10}, {"Left", 420}, {"Bottom", 310}, {"Right", 20}}, kDefault, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AppTest, ALeftEdgeBeyondTheScreenIsPulledBack) {
  AddAccount(u"Boss", u"pw", 1);
  QSize screen = QGuiApplication::primaryScreen()->geometry().size();
  {
    QSettings profile = Profile();
    profile.setValue("Frame/Status", 1);
    profile.setValue("Frame/Left", screen.width() + 500);
    profile.setValue("Frame/Right", screen.width() + 900);
    profile.setValue("Frame/Top", 10);
    profile.setValue("Frame/Bottom", 310);
  }
  ASSERT_TRUE(StartAs("Boss", "pw"));
  FramePlacement placement = Frame()->Placement();
  EXPECT_EQ(placement.x, screen.width() - 32) << "an icon's width stays on the screen";
  EXPECT_LT(Frame()->geometry().left(), screen.width());
}

TEST_F(AppTest, NoToTheExitQuestionKeepsWindowAndRegistration) {
  AddAccount(u"Boss", u"pw", 1);
  ASSERT_TRUE(StartAs("Boss", "pw"));
  int registered = Registrations();
  boxes.Answer(IDNO);
  Frame()->Action(kCmdExit)->trigger();
  EXPECT_TRUE(Frame()->isVisible());
  EXPECT_TRUE(app->Session().Registered());
  EXPECT_EQ(Registrations(), registered);
  ASSERT_EQ(boxes.Shown().size(), 1u);
  EXPECT_EQ(QString::fromStdU16String(boxes.Shown()[0].text), ConsoleText(kStrConfirmExit));
  EXPECT_EQ(boxes.Shown()[0].Icon(), static_cast<UINT>(MB_ICONQUESTION));
  EXPECT_FALSE(Profile().contains("Frame/Status")) << "no placement saved";
}

TEST_F(AppTest, YesToTheExitQuestionSavesThePlacementAndWithdrawsTheRegistration) {
  AddAccount(u"Boss", u"pw", 1);
  ASSERT_TRUE(StartAs("Boss", "pw"));
  int registered = Registrations();
  Frame()->setGeometry(30, 40, 500, 350);
  boxes.Answer(IDYES);
  EXPECT_TRUE(Frame()->close());
  EXPECT_FALSE(Frame()->isVisible());
  EXPECT_FALSE(app->Session().Registered());
  EXPECT_EQ(Registrations(), registered - 1);
  QSettings profile = Profile();
  EXPECT_EQ(profile.value("Frame/Status").toInt(), kShowNormal);
  EXPECT_EQ(profile.value("Frame/Right").toInt() - profile.value("Frame/Left").toInt(), 500);
  EXPECT_EQ(profile.value("Frame/Bottom").toInt() - profile.value("Frame/Top").toInt(), 350);
}

TEST_F(AppTest, MenusAcceleratorsAndPromptsComeFromTheModule) {
  AddAccount(u"Boss", u"pw", 1);
  ASSERT_TRUE(StartAs("Boss", "pw"));
  QStringList titles;
  for (QAction* menu : Frame()->menuBar()->actions()) titles << menu->text();
  EXPECT_EQ(titles, QStringList({ConsoleText(200), ConsoleText(201), ConsoleText(202), ConsoleText(203),
                                 ConsoleText(204)}));
  const std::pair<UINT, QKeySequence> accelerators[] = {{kCmdChangePassword, QKeySequence("Ctrl+P")},
                                                        {kCmdUnlock, QKeySequence(Qt::Key_Delete)},
                                                        {kCmdRefresh, QKeySequence(Qt::Key_F5)},
                                                        {kCmdExit, QKeySequence("Ctrl+X")}};
  for (const auto& [id, key] : accelerators) EXPECT_EQ(Frame()->Action(id)->shortcut(), key) << id;
  EXPECT_EQ(Frame()->Action(kCmdLock)->statusTip(), "Lock Folder");
  EXPECT_EQ(Frame()->Action(kCmdReadOnly)->statusTip(), "Set Read only Lock Folder");
  EXPECT_EQ(Frame()->MessagePane()->text(), "Ready");
  for (const char* indicator : {"CAP", "NUM", "SCRL"}) EXPECT_NE(Frame()->findChild<QLabel*>(indicator), nullptr);
}

TEST_F(AppTest, TheMenusSpeakTheInstalledLanguage) {
  SetInstalledLanguage(2);  // Japanese
  AddAccount(u"Boss", u"pw", 1);
  ASSERT_TRUE(StartAs("Boss", "pw"));
  EXPECT_EQ(Frame()->menuBar()->actions().front()->text(), QString::fromUtf8("ファイル(&F)"));
  EXPECT_EQ(Frame()->Action(kCmdLock)->statusTip(), QString::fromUtf8("フォルダーをロックします"));
}

TEST_F(AppTest, FrameCommandsOpenTheirDialogsWithTheLoggedInAccount) {
  AddAccount(u"Boss", u"pw", 1);
  ASSERT_TRUE(StartAs("Boss", "pw"));
  const std::pair<UINT, const char*> commands[] = {
      {kCmdChangePassword, "9000"}, {kCmdDefault, "9016"}, {kCmdAdministrator, "9021"}, {kCmdHelpAbout, "100"}};
  for (const auto& [id, dialogName] : commands) {
    QString opened, shownUser;
    Drive([&, id = id] { Frame()->Action(id)->trigger(); return 0; },
          {[&](QWidget* dialog) {
            opened = dialog->objectName();
            if (auto* user = dialog->findChild<QLineEdit*>("9031")) shownUser = user->text();
            dialog->close();
          }});
    EXPECT_EQ(opened, dialogName) << id;
    if (id == kCmdChangePassword) {
      EXPECT_EQ(shownUser, "Boss");
    }
  }
  EXPECT_TRUE(Frame()->isVisible());
}

TEST_F(AppTest, WithoutTheLanguagesModuleTheEnglishOneServes) {
  // A console installed with its English module only, on a Japanese installation.
  QTemporaryDir folder;
  for (const char* file : {"NBAdmin.EN"}) {
    ASSERT_TRUE(QFile::copy(QCoreApplication::applicationDirPath() + "/" + file, folder.path() + "/" + file));
  }
  SetInstalledLanguage(2);
  AddAccount(u"Boss", u"pw", 1);
  std::u16string path = QString(folder.path() + "/NBAdmin").replace('/', '\\').toStdU16String();
  app = std::make_unique<CNBAdminApp>(u"\\\\?\\unix" + path);
  ASSERT_TRUE(Drive([&] { return app->InitInstance(); }, {LogIn("Boss", "pw")}));
  EXPECT_EQ(Frame()->windowTitle(), "Nimbra 2.2");
  EXPECT_EQ(Frame()->menuBar()->actions().front()->text(), ConsoleText(200));
  EXPECT_NE(app->Resources(), nullptr);
}

struct AboutCase {
  DWORD brand;
  UINT notice;
};

class AboutTest : public AppTest, public ::testing::WithParamInterface<AboutCase> {};

TEST_P(AboutTest, TheAboutBoxShowsTheNoticeOfTheBrand) {
  DWORD brand = GetParam().brand;
  util_test::UtilMachine::SetValue(util_test::kServiceKey, u"COMPANY", REG_DWORD, &brand, sizeof brand);
  AddAccount(u"Boss", u"pw", 1);
  ASSERT_TRUE(StartAs("Boss", "pw"));
  QString caption, product, notice;
  Drive([&] { Frame()->Action(kCmdHelpAbout)->trigger(); return 0; },
        {[&](QWidget* dialog) {
          EXPECT_EQ(dialog->objectName(), "100");
          caption = dialog->windowTitle();
          product = Control<QLabel>(dialog, 1002)->text();
          notice = Control<QLabel>(dialog, 1000)->text();
          Click(dialog, IDOK);
        }});
  EXPECT_EQ(caption, ConsoleText(kStrAboutCaption));
  EXPECT_EQ(product, ConsoleText(kStrProductVersion));
  EXPECT_EQ(notice, ConsoleText(GetParam().notice));
}

INSTANTIATE_TEST_SUITE_P(Brands, AboutTest,
                         ::testing::Values(AboutCase{0, kStrNoticeDefault}, AboutCase{1, kStrNoticeBrand1},
                                           AboutCase{2, kStrNoticeBrand2}),
                         [](const auto& info) { return "Brand" + std::to_string(info.param.brand); });

TEST_F(AppTest, HelpContentsOpensTheHelpOfTheLanguage) {
  AddAccount(u"Boss", u"pw", 1);
  ASSERT_TRUE(StartAs("Boss", "pw"));
  EXPECT_EQ(app->HelpPath(), dialogs_test::ProgramFolder() + u"\\Nimbra.EN.html");
  Frame()->Action(kCmdHelpContents)->trigger();
  QWidget* help = nullptr;
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (widget->objectName() == "HtmlHelp") help = widget;
  }
  ASSERT_NE(help, nullptr);
  EXPECT_TRUE(help->isVisible());
  EXPECT_EQ(help->windowTitle(), "Nimbra Help");
  QPointer<QWidget> open = help;
  boxes.Answer(IDYES);
  EXPECT_TRUE(Frame()->close());
  QApplication::processEvents();
  EXPECT_TRUE(!open || !open->isVisible()) << "the help window goes with the program";
}

}  // namespace
}  // namespace app_test
