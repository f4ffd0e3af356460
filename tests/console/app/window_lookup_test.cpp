// Windows found by title across processes (FindWindowW and friends over named events)
// and the HTML help display, on the in-process machine.
#include <QApplication>
#include <QTextBrowser>
#include <QWidget>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <winuser.h>
#include <htmlhelp.h>

#include "nb/win/qt_message_box.h"
#include "nb/win/qt_windows.h"
#include "util_machine.h"

namespace {

class WindowLookupTest : public util_test::UtilTest {
 protected:
  // Runs the event loop until `done` or a second has passed.
  template <class Done>
  static bool Until(Done done) {
    for (int i = 0; i < 100 && !done(); ++i) {
      QApplication::processEvents();
      usleep(10000);
    }
    return done();
  }
};

TEST_F(WindowLookupTest, AWindowIsFoundByItsTitleWhileItsBeaconLives) {
  QWidget window;
  window.setWindowTitle("Title A");
  EXPECT_EQ(FindWindowW(nullptr, u"Title A"), nullptr);
  HWND kept = nullptr;
  {
    nb::win::WindowBeacon beacon(&window, u"Title A");
    ASSERT_TRUE(beacon.Active());
    HWND found = FindWindowW(nullptr, u"Title A");
    EXPECT_NE(found, nullptr);
    EXPECT_EQ(FindWindowW(u"AnyClass", u"Title A"), found) << "one handle per title; the class is not looked at";
    EXPECT_EQ(FindWindowW(nullptr, u"Title B"), nullptr);
    EXPECT_EQ(FindWindowW(nullptr, u"title a"), nullptr) << "the title is matched exactly";
    kept = found;
  }
  EXPECT_EQ(FindWindowW(nullptr, u"Title A"), nullptr) << "gone with its beacon, although a finder kept its handle";
  SetLastError(0);
  EXPECT_EQ(SendMessageW(kept, WM_SYSCOMMAND, SC_RESTORE, 0), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_EQ(FindWindowW(nullptr, nullptr), nullptr);
}

TEST_F(WindowLookupTest, RestoreThroughAFoundHandleBringsTheWindowBack) {
  QWidget window;
  window.showMinimized();
  nb::win::WindowBeacon beacon(&window, u"C:\\odd\\title");
  HWND found = FindWindowW(nullptr, u"C:\\odd\\title");
  ASSERT_NE(found, nullptr) << "backslashes in a title name no object folder";
  EXPECT_EQ(SendMessageW(found, WM_SYSCOMMAND, SC_RESTORE, 0), 0);
  EXPECT_TRUE(Until([&] { return !window.isMinimized(); }));
  EXPECT_TRUE(window.isVisible());
  EXPECT_TRUE(SetForegroundWindow(found));
  EXPECT_EQ(SetFocus(found), found);
}

TEST_F(WindowLookupTest, OtherMessagesAndUnknownHandlesAreRefused) {
  QWidget window;
  window.showMinimized();
  nb::win::WindowBeacon beacon(&window, u"Title C");
  HWND found = FindWindowW(nullptr, u"Title C");
  SetLastError(0);
  EXPECT_EQ(SendMessageW(found, WM_SYSCOMMAND, SC_MINIMIZE, 0), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
  QApplication::processEvents();
  EXPECT_TRUE(window.isMinimized()) << "only a restore is served";
  HWND bogus = reinterpret_cast<HWND>(&beacon);
  EXPECT_FALSE(SetForegroundWindow(bogus));
  EXPECT_EQ(SetFocus(bogus), nullptr);
  EXPECT_EQ(SendMessageW(bogus, WM_SYSCOMMAND, SC_RESTORE, 0), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST_F(WindowLookupTest, AWidgetHandleOfThisProcessIsRestoredDirectly) {
  QWidget window;
  window.showMinimized();
  HWND handle = nb::win::WindowHandleOf(&window);
  SendMessageW(handle, WM_SYSCOMMAND, SC_RESTORE, 0);
  EXPECT_FALSE(window.isMinimized());
  EXPECT_TRUE(SetForegroundWindow(handle));
}

TEST_F(WindowLookupTest, HtmlHelpShowsAFileAndRefusesWhatItCannotRead) {
  std::filesystem::path file = machine.MakeFolder('C', "\\Help") / "topic.html";
  std::ofstream(file) << "<html><head><title>The Topic</title></head><body><p>Text</p></body></html>";
  HWND window = HtmlHelpW(nullptr, u"C:\\Help\\topic.html", HH_DISPLAY_TOPIC, 0);
  ASSERT_NE(window, nullptr);
  auto* browser = qobject_cast<QTextBrowser*>(nb::win::WidgetOfWindowHandle(window));
  ASSERT_NE(browser, nullptr);
  EXPECT_TRUE(browser->isVisible());
  EXPECT_EQ(browser->windowTitle(), "The Topic");
  EXPECT_TRUE(browser->toPlainText().contains("Text"));
  EXPECT_EQ(HtmlHelpW(nullptr, u"C:\\Help\\topic.html", HH_DISPLAY_TOPIC, 0), window) << "one window, reused";

  SetLastError(0);
  EXPECT_EQ(HtmlHelpW(nullptr, u"C:\\Help\\missing.html", HH_DISPLAY_TOPIC, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(HtmlHelpW(nullptr, u"C:\\Help", HH_DISPLAY_TOPIC, 0), nullptr) << "a folder is no topic";
  EXPECT_EQ(HtmlHelpW(nullptr, u"C:\\Help\\topic.html", 0x7777, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  HtmlHelpW(nullptr, nullptr, HH_CLOSE_ALL, 0);
  QApplication::processEvents();
}

}  // namespace
