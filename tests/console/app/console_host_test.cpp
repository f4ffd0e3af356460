// The console against a running machine (nbhost with the service and its drivers), over
// the socket: a console started here with its window, and the real program started as a
// second console, which brings this one's window forward from its own process and ends.
// This program is named NBAdmin, as a console is.
#include <QApplication>
#include <QUrl>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>

#include "dialog_machine.h"
#include "library.h"
#include "main_frame.h"
#include "nbadmin_view.h"
#include "nb/text.h"
#include "nb/win/message_box.h"
#include "nb/win/socket_channel.h"
#include "nbadmin_app.h"
#include "shell_line.h"

namespace {

namespace fs = std::filesystem;

using dialogs_test::Click;
using dialogs_test::Drive;
using dialogs_test::Type;
using nb_host_test::Outcome;
using nb_host_test::RunLine;

// The folder of the programs and language modules, as a Windows name.
std::u16string ProgramFolder() {
  std::string folder = NB_PROGRAM_FOLDER;
  for (char& c : folder) c = c == '/' ? '\\' : c;
  return u"\\\\?\\unix" + std::u16string(folder.begin(), folder.end());
}

class ConsoleOnHost : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "nbhost-console-XXXXXX").string();
    root = mkdtemp(pattern.data());
    ASSERT_EQ(Host("start").exitCode, 0);
    Outcome installed = Machine(std::string(NB_PROGRAM_FOLDER) + "/NBInstall " + NBFS36_IMAGE + " " + NBDV15_IMAGE);
    ASSERT_EQ(installed.exitCode, 0) << installed.output;
    ASSERT_EQ(Machine(std::string(NB_PROGRAM_FOLDER) + "/NBSvc /i").exitCode, 0);
    Machine(std::string(NB_PROGRAM_FOLDER) + "/NBSvc /c");
    bool running = false;
    for (int i = 0; i < 50 && !running; ++i) {
      running = Machine(std::string(NB_PROGRAM_FOLDER) + "/NBSvc /t").output.find("is running") != std::string::npos;
      if (!running) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ASSERT_TRUE(running);
    nb::win::UseMachineAt(root);
    // The service reports running before its worker has loaded the drivers.
    bool loaded = false;
    for (int i = 0; i < 100 && !loaded; ++i) {
      loaded = true;
      for (const char16_t* device : {u"\\\\.\\nbfscntl36", u"\\\\.\\nbdvCntl15"}) {
        HANDLE handle = CreateFileW(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) loaded = false;
        else CloseHandle(handle);
      }
      if (!loaded) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(loaded) << "the drivers' control devices";
    ASSERT_TRUE(nb::dialogs::LoadResources(ProgramFolder()));
  }
  // Starts the console here, creating the first administrator.
  void StartConsole() {
    app = std::make_unique<CNBAdminApp>(ProgramFolder() + u"\\NBAdmin");
    bool started = Drive([&] { return app->InitInstance(); },
                         {[](QWidget* dialog) {
                           Type(dialog, 9031, "Boss");
                           Type(dialog, 1004, "pw");
                           Type(dialog, 1005, "pw");
                           Click(dialog, IDOK);
                         }});
    std::string shown;
    for (const auto& box : boxes.Shown()) shown += nb::text::Utf16ToUtf8(box.text) + "\n";
    ASSERT_TRUE(started) << "first start: " << nb::console::StartOutcomeText(app->Outcome()) << "\n" << shown;
    ASSERT_NE(app->Frame(), nullptr);
  }
  // Where processes reach drive C: (its FUSE mount, or its backing folder without FUSE).
  std::string DriveC(bool* mounted) {
    std::string list = Host("volume list").output;
    std::smatch match;
    if (!std::regex_search(list, match, std::regex("C:  fixed     \\S+  present (/\\S+)(  mounted at (\\S+))?\n")))
      return {};
    *mounted = match[3].matched;
    return *mounted ? match[3].str() : match[1].str();
  }
  void TearDown() override {
    app.reset();
    nb::dialogs::UnloadResources();
    Host("stop");
    fs::remove_all(root);
  }
  Outcome Host(const std::string& arguments) {
    return RunLine(std::string(NB_HOST_PROGRAM) + " " + arguments + " --root " + root);
  }
  Outcome Machine(const std::string& line) { return RunLine("NB_ROOT=" + root + " " + line); }

  std::string root;
  nb::win::ScriptedMessageBoxes boxes;
  std::unique_ptr<CNBAdminApp> app;
};

TEST_F(ConsoleOnHost, TheRealProgramStartedAgainBringsThisWindowForwardAndEnds) {
  StartConsole();
  app->Frame()->showMinimized();
  QApplication::processEvents();

  Outcome second = Machine("QT_QPA_PLATFORM=offscreen timeout 30 " NB_CONSOLE_PROGRAM);
  EXPECT_EQ(second.exitCode, 1) << second.output;
  EXPECT_EQ(second.output.find("Service program"), std::string::npos) << second.output;
  for (int i = 0; i < 200 && app->Frame()->isMinimized(); ++i) {
    QApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(app->Frame()->isMinimized()) << "restored on the other console's request";
  EXPECT_TRUE(app->Session().Registered());
}

TEST_F(ConsoleOnHost, AFolderDroppedFromTheDrivesMountIsLockedForEveryOtherProcess) {
  StartConsole();
  bool mounted = false;
  std::string drive = DriveC(&mounted);
  ASSERT_FALSE(drive.empty());
  fs::create_directory(drive + "/Data");
  app->Frame()->View()->DropUrls({QUrl::fromLocalFile(QString::fromStdString(drive + "/Data"))});
  ASSERT_EQ(app->Frame()->View()->RowCount(), 1);
  EXPECT_EQ(app->Frame()->View()->CellText(0, nb::console::kColName), "C:\\Data");
  if (!mounted) GTEST_SKIP() << "no FUSE mount: drive C: is reached unfiltered";
  Outcome other = RunLine("ls " + drive);
  EXPECT_EQ(other.output.find("Data"), std::string::npos) << "hidden from an untrusted process: " << other.output;
}

}  // namespace
