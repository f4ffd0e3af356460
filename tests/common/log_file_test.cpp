// The log writer on drive C: of a temporary folder: file names by period, the line
// format, silent dropping without the folder, the console echo, text that is written
// unchanged, long lines in Asian languages, and several writers at once.
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <windows.h>

#include "LogFile.h"
#include "nb/testing/machine.h"
#include "nb/text.h"
#include "nb/win/drives.h"
#include "nb/win/in_process.h"

namespace {

namespace fs = std::filesystem;

std::atomic<time_t> fakeNow{0};
time_t FakeClock() { return fakeNow.load(); }

// The local time of a calendar date, as the writer reads its clock.
time_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
  tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  return mktime(&local);
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> FilesIn(const fs::path& folder) {
  std::vector<std::string> names;
  if (!fs::exists(folder)) return names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string Narrow(const std::u16string& text) { return nb::text::Utf16ToUtf8(text); }

class LogWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nb-log-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    logFolder = root / "Windows" / "TEMP" / "NB";
    fs::create_directories(logFolder);
    nb::win::MapDrive(u'C', root.string());
    transport.ActAsUser(0);
    nb::win::SetTransport(&transport);
    fakeNow = LocalTime(2024, 3, 9, 13, 45, 27);
    SetLogClock(FakeClock);
  }
  void TearDown() override {
    SetLogClock(nullptr);
    nb::win::SetTransport(nullptr);
    nb::win::UnmapDrive(u'C');
    fs::remove_all(root);
  }

  fs::path root;
  fs::path logFolder;
  nb::testing::Machine machine;
  nb::win::InProcessTransport transport;
};

TEST_F(LogWriter, TheFileNameKeepsTheFieldsOfItsPeriod) {
  struct Case {
    int period;
    const char16_t* name;
  };
  const Case cases[] = {
      {LOG_PERIOD_DAY, u"20240309000000"},
      {LOG_PERIOD_HOUR, u"20240309130000"},
      {LOG_PERIOD_MINUTE, u"20240309134500"},
      {LOG_PERIOD_SECOND, u"20240309134527"},
      {7, u"20240309134527"},
      {-1, u"20240309134527"},
  };
  for (const Case& c : cases) {
    LogFile log(u"NBUtil", u"NB", c.period);
    EXPECT_EQ(std::u16string(log.Path()), std::u16string(u"C:\\Windows\\TEMP\\NB\\") + c.name) << c.period;
  }
  EXPECT_TRUE(FilesIn(logFolder).empty()) << "making the object touches no file";
}

TEST_F(LogWriter, ALineIsTimeModuleAndMessage) {
  LogFile log(u"NBUtil", u"NB", LOG_PERIOD_DAY);
  log.Write(u"NBDV_AddDevice(%c: %x)", u'E', 0x1234ABCDu);
  fakeNow = LocalTime(2024, 3, 9, 8, 5, 3);
  LogFile(u"VAULTSdk", u"NB", LOG_PERIOD_DAY).Write(u"%s", u"second");
  EXPECT_EQ(ReadFile(logFolder / "20240309000000"),
            "Sat Mar  9 13:45:27 2024:NBUtil:NBDV_AddDevice(E: 1234abcd)\n"
            "Sat Mar  9 08:05:03 2024:VAULTSdk:second\n");
}

TEST_F(LogWriter, TheModuleNameIsCutToItsField) {
  std::u16string longName(80, u'M');
  LogFile(longName.c_str(), u"NB", LOG_PERIOD_DAY).Write(u"x");
  EXPECT_EQ(ReadFile(logFolder / "20240309000000"), "Sat Mar  9 13:45:27 2024:" + std::string(49, 'M') + ":x\n");
}

TEST_F(LogWriter, MessagesEitherSideOfMidnightGoToTwoDailyFiles) {
  fakeNow = LocalTime(2024, 12, 31, 23, 59, 59);
  LogMessage(u"before");
  fakeNow = LocalTime(2025, 1, 1, 0, 0, 1);
  LogMessage(u"after");
  EXPECT_EQ(FilesIn(logFolder), (std::vector<std::string>{"20241231000000", "20250101000000"}));
  EXPECT_EQ(ReadFile(logFolder / "20241231000000"), "Tue Dec 31 23:59:59 2024:NBSvc:before\n");
  EXPECT_EQ(ReadFile(logFolder / "20250101000000"), "Wed Jan  1 00:00:01 2025:NBSvc:after\n");
}

TEST_F(LogWriter, AMissingFolderDropsTheLineButTheConsoleStillEchoes) {
  fs::remove(logFolder);
  ::testing::internal::CaptureStdout();
  LogMessage(u"Service started: %d", 3);
  LogFile(u"NBUtil", u"NB", LOG_PERIOD_DAY).Write(u"dropped too");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Service started: 3\n");
  EXPECT_FALSE(fs::exists(logFolder)) << "the writer never makes folders";
  EXPECT_TRUE(FilesIn(root / "Windows" / "TEMP").empty());

  // Without a drive C: at all, the same.
  nb::win::UnmapDrive(u'C');
  ::testing::internal::CaptureStdout();
  LogMessage(u"no drive");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "no drive\n");

  // Logging comes back with the folder.
  nb::win::MapDrive(u'C', root.string());
  fs::create_directories(logFolder);
  ::testing::internal::CaptureStdout();
  LogMessage(u"back");
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(ReadFile(logFolder / "20240309000000"), "Sat Mar  9 13:45:27 2024:NBSvc:back\n");
}

TEST_F(LogWriter, ALinkInTheFilesPlaceIsNotFollowed) {
  fs::path target = root / "elsewhere";
  { std::ofstream(target) << "kept\n"; }
  fs::create_symlink(target, logFolder / "20240309000000");
  LogFile(u"NBUtil", u"NB", LOG_PERIOD_DAY).Write(u"planted");
  EXPECT_EQ(ReadFile(target), "kept\n");
}

TEST_F(LogWriter, TheLogFolderFollowsTheWindowsFolderOfTheMachine) {
  HKEY key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", 0,
                          KEY_SET_VALUE, &key),
            ERROR_SUCCESS);
  const char16_t root[] = u"C:\\WINNT";
  ASSERT_EQ(RegSetValueExW(key, u"SystemRoot", 0, REG_SZ, reinterpret_cast<const BYTE*>(root), sizeof root),
            ERROR_SUCCESS);
  RegCloseKey(key);
  fs::create_directories(this->root / "WINNT" / "TEMP" / "NB");
  LogFile log(u"NBUtil", u"NB", LOG_PERIOD_DAY);
  EXPECT_EQ(std::u16string(log.Path()), u"C:\\WINNT\\TEMP\\NB\\20240309000000");
  log.Write(u"moved");
  EXPECT_EQ(FilesIn(this->root / "WINNT" / "TEMP" / "NB"), std::vector<std::string>{"20240309000000"});
  EXPECT_TRUE(FilesIn(logFolder).empty());
}

// A message that is already text ("a folder named 100%") is written as it is, in the
// file and on the console; the old writer took it for a format.
TEST_F(LogWriter, APercentSignIsLoggedUnchanged) {
  const char16_t* texts[] = {u"Locked C:\\100% Data\\%d%s%n", u"%", u"%%", u"50%s off %ws"};
  std::string expectedFile;
  std::string expectedConsole;
  for (const char16_t* text : texts) {
    ::testing::internal::CaptureStdout();
    LogMessage(u"%s", text);
    std::string console = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(console, Narrow(text) + "\n");
    expectedFile += "Sat Mar  9 13:45:27 2024:NBSvc:" + Narrow(text) + "\n";
  }
  EXPECT_EQ(ReadFile(logFolder / "20240309000000"), expectedFile);
}

// 600 characters of Japanese, Korean or Chinese take 1800 bytes in UTF-8: the line is
// written whole, where a 1024-byte conversion buffer dropped it.
TEST_F(LogWriter, LongAsianLinesAreNeverDropped) {
  const char16_t* characters[] = {u"\u65e5", u"\ud55c", u"\u4e2d"};
  std::string expectedFile;
  for (const char16_t* character : characters) {
    std::u16string message;
    for (int i = 0; i < 600; ++i) message += character;
    ::testing::internal::CaptureStdout();
    LogMessage(u"%s", message.c_str());
    PrintConsole(u"%s", message.c_str());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), Narrow(message) + "\n" + Narrow(message) + "\n");
    expectedFile += "Sat Mar  9 13:45:27 2024:NBSvc:" + Narrow(message) + "\n";
  }
  EXPECT_EQ(ReadFile(logFolder / "20240309000000"), expectedFile);
}

TEST_F(LogWriter, AMessageIsCutAt1023CharactersWithoutSplittingOne) {
  struct Case {
    std::u16string message;
    std::u16string kept;
  };
  std::u16string pair = u"\xd83d\xde00";  // one character in two units
  const Case cases[] = {
      {std::u16string(1023, u'a'), std::u16string(1023, u'a')},
      {std::u16string(2000, u'a'), std::u16string(1023, u'a')},
      {std::u16string(1022, u'a') + pair, std::u16string(1022, u'a')},  // the pair would straddle the end
      {std::u16string(1021, u'a') + pair + u"b", std::u16string(1021, u'a') + pair},
  };
  for (const Case& c : cases) {
    fs::remove(logFolder / "20240309000000");
    ::testing::internal::CaptureStdout();
    LogMessage(u"%s", c.message.c_str());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), Narrow(c.kept) + "\n");
    EXPECT_EQ(ReadFile(logFolder / "20240309000000"), "Sat Mar  9 13:45:27 2024:NBSvc:" + Narrow(c.kept) + "\n");
  }
}

TEST_F(LogWriter, LinesOfManyWritersStayWhole) {
  constexpr int kThreads = 4;
  constexpr int kLines = 200;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([t] {
      std::u16string padding(300, static_cast<char16_t>(u'a' + t));
      for (int i = 0; i < kLines; ++i)
        LogFile(u"NBUtil", u"NB", LOG_PERIOD_DAY).Write(u"%d %d %s", t, i, padding.c_str());
    });
  }
  for (auto& writer : writers) writer.join();
  std::istringstream lines(ReadFile(logFolder / "20240309000000"));
  std::regex line(R"(Sat Mar  9 13:45:27 2024:NBUtil:(\d) (\d+) ([a-d]{300}))");
  int count = 0;
  for (std::string text; std::getline(lines, text); ++count) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(text, match, line)) << text.substr(0, 80);
    EXPECT_EQ(match[3].str(), std::string(300, static_cast<char>('a' + std::stoi(match[1]))));
  }
  EXPECT_EQ(count, kThreads * kLines);
}

}  // namespace
