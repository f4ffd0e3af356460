// nbctl's output: JSON escaping of any text a record or a user may hold, the lock rows
// with their stable fields and the console's texts, aligned tables, and drive paths.
#include "output.h"

#include <cstring>

#include <gtest/gtest.h>

#include "json_reader.h"
#include "nb/text.h"
#include "paths.h"
#include "presenter.h"

namespace {

using nb::nbctl::JsonString;

TEST(NbctlJson, EscapesEverythingAStringMayHold) {
  struct Case {
    std::string input;
    std::string json;
  };
  const Case cases[] = {
      {"plain", "\"plain\""},
      {"a\"b", "\"a\\\"b\""},
      {"C:\\Data", "\"C:\\\\Data\""},
      {"line\nbreak\ttab\rret", "\"line\\nbreak\\ttab\\rret\""},
      {std::string("nul\0x", 5), "\"nul\\u0000x\""},
      {"\x01\x1f\x7f", "\"\\u0001\\u001f\\u007f\""},
      {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
      {"\xe2\x80\xa8", "\"\\u2028\""},
      {"bad\xff", "\"bad\xef\xbf\xbd\""},           // not UTF-8
      {"\xc0\xaf", "\"\xef\xbf\xbd\xef\xbf\xbd\""},  // an overlong "/"
      {"\xed\xa0\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},  // an encoded surrogate
      {"\xe6\x97", "\"\xef\xbf\xbd\xef\xbf\xbd\""},  // cut short
  };
  for (const Case& c : cases) EXPECT_EQ(JsonString(c.input), c.json) << c.input;
}

TEST(NbctlJson, Utf16SurrogatesArePairedOrReplaced) {
  EXPECT_EQ(JsonString(std::u16string(u"\U0001F512")), "\"\xf0\x9f\x94\x92\"");
  EXPECT_EQ(JsonString(std::u16string(1, u'\xD800')), "\"\xef\xbf\xbd\"");
  EXPECT_EQ(JsonString(std::u16string{u'\xDC00', u'a'}), "\"\xef\xbf\xbd" "a\"");
  EXPECT_EQ(JsonString(std::u16string(u"\x65e5\x672c")), "\"\xe6\x97\xa5\xe6\x9c\xac\"");
}

TEST(NbctlJson, WhatIsWrittenReadsBackTheSame) {
  const std::u16string texts[] = {
      u"", u"plain", u"quote \" and backslash \\", u"C:\\Windows\\Application Data\\NB",
      u"\x01\x1f\x7f control", std::u16string(u"nul\0inside", 11), u"\u2028\u2029",
      u"\x65e5\x672c\x8a9e \U0001F512", u"tab\tnew\nline\rret\b\f",
  };
  for (const std::u16string& text : texts) {
    std::optional<nbctl_test::JsonValue> value = nbctl_test::JsonReader::Parse(JsonString(text));
    ASSERT_TRUE(value) << JsonString(text);
    EXPECT_EQ(value->text, nb::text::Utf16ToUtf8(text));
  }
  EXPECT_FALSE(nbctl_test::JsonReader::Parse("\"raw\ncontrol\"")) << "the reader is strict";
}

TEST(NbctlJson, ObjectsKeepTheirOrderAndTypes) {
  std::string text = nb::nbctl::JsonObject()
                         .Add("name", "x\"y")
                         .Add("count", 3LL)
                         .Add("ok", true)
                         .AddRaw("list", nb::nbctl::JsonArray({"1", "2"}))
                         .Text();
  EXPECT_EQ(text, "{\"name\":\"x\\\"y\",\"count\":3,\"ok\":true,\"list\":[1,2]}");
  EXPECT_EQ(nb::nbctl::JsonArray({}), "[]");
}

_LCK_INFORMAION Folder(const char16_t* path, int mode, int status, int running) {
  _LCK_INFORMAION lock;
  std::memset(&lock, 0, sizeof lock);
  lock.type = LCK_TYPE_FOLDER;
  lock.drive = u'D';
  lock.realDrive = u'E';
  std::char_traits<char16_t>::copy(lock.path, path, std::char_traits<char16_t>::length(path));
  lock.mode = mode;
  lock.status = status;
  lock.running = running;
  lock.timeout = 15;
  lock.serial = 0xE0E0E0E0;
  std::char_traits<char16_t>::copy(lock.owner, u"ann", 3);
  return lock;
}

TEST(NbctlLockRows, StatusModeAndTypeFollowTheConsole) {
  struct Case {
    int mode, status, running;
    const char* modeWord;
    const char* statusWord;
    const char16_t* modeText;
    const char16_t* statusText;
  };
  const Case cases[] = {
      {1, 1, 1, "hidden", "running", u"Hidden", u"Running"},
      {4, 1, 0, "readonly", "ready", u"Read only", u"Ready"},
      {0, 0, 1, "unknown", "paused", u"Unknown", u"Pause"},
      {0x80, -1, 1, "unknown", "not-started", u"Unknown", u"Not start"},
      {1, 7, 1, "hidden", "not-started", u"Hidden", u"Not start"},
  };
  for (const Case& c : cases) {
    nb::nbctl::LockRow row = nb::nbctl::MakeLockRow(Folder(u"\\Data", c.mode, c.status, c.running), nullptr);
    EXPECT_EQ(row.mode, c.modeWord);
    EXPECT_EQ(row.status, c.statusWord);
    ASSERT_EQ(row.columns.size(), 5u);
    EXPECT_EQ(row.columns[0], u"E:\\Data") << "the name shows the real drive letter";
    EXPECT_EQ(row.columns[1], u"Folder");
    EXPECT_EQ(row.columns[2], c.modeText);
    EXPECT_EQ(row.columns[3], u"15");
    EXPECT_EQ(row.columns[4], c.statusText);
  }
  _LCK_INFORMAION drive = Folder(u"", 4, 1, 1);
  drive.type = LCK_TYPE_DRIVE;
  nb::nbctl::LockRow row = nb::nbctl::MakeLockRow(drive, nullptr);
  EXPECT_EQ(row.name, u"E:");
  EXPECT_EQ(row.type, "drive");
  EXPECT_EQ(row.columns[1], u"Drive");
}

TEST(NbctlLockRows, TextsComeFromTheModuleWhenItHasThem) {
  auto japanese = [](UINT number) -> std::u16string {
    return number == nb::nbctl::kTextHidden ? u"\x975e\x8868\x793a" : u"";
  };
  nb::nbctl::LockRow row = nb::nbctl::MakeLockRow(Folder(u"\\Data", 1, 1, 1), japanese);
  EXPECT_EQ(row.columns[2], u"\x975e\x8868\x793a");
  EXPECT_EQ(row.columns[4], u"Running") << "a number the module lacks falls back to English";
}

TEST(NbctlLockRows, JsonKeepsItsFieldNamesAndEscapesPaths) {
  _LCK_INFORMAION lock = Folder(u"\\Odd \"name\"\\x", 1, 0, 1);
  std::string json = nb::nbctl::LockRowsJson({nb::nbctl::MakeLockRow(lock, nullptr)});
  EXPECT_EQ(json,
            "[{\"name\":\"E:\\\\Odd \\\"name\\\"\\\\x\",\"drive\":\"D\",\"path\":\"\\\\Odd \\\"name\\\"\\\\x\","
            "\"type\":\"folder\",\"mode\":\"hidden\",\"timeout\":15,\"status\":\"paused\",\"owner\":\"ann\","
            "\"serial\":3772834016}]");
  EXPECT_EQ(nb::nbctl::LockRowsJson({}), "[]");
}

TEST(NbctlLockRows, AFieldWithoutItsNulStaysInsideTheRecord) {
  _LCK_INFORMAION lock = Folder(u"\\a", 1, 1, 1);
  for (char16_t& unit : lock.owner) unit = u'o';
  nb::nbctl::LockRow row = nb::nbctl::MakeLockRow(lock, nullptr);
  EXPECT_EQ(row.owner.size(), LCK_OWNER_UNITS);
}

TEST(NbctlTable, ColumnsAlignOnCharactersNotBytes) {
  std::string table = nb::nbctl::FormatTable({"A", "Bee"}, {{"\xc3\xa9\xc3\xa9\xc3\xa9", "x"}, {"zz", "line\nbreak"}});
  EXPECT_EQ(table, "A    Bee\n\xc3\xa9\xc3\xa9\xc3\xa9  x\nzz   line break\n");
}

TEST(NbctlPaths, DrivePathsAndHostPaths) {
  auto mapper = [](std::string_view host) -> std::u16string {
    std::string path(host);
    if (path.rfind("/mnt/c", 0) == 0) {
      std::u16string rest;
      for (char c : path.substr(6)) rest += c == '/' ? u'\\' : static_cast<char16_t>(c);
      return u"C:" + (rest.empty() ? std::u16string(u"\\") : rest);
    }
    return u"\\\\?\\unix" + std::u16string(path.begin(), path.end());
  };
  struct Case {
    std::string argument;
    std::u16string path;  // empty: refused
  };
  const Case cases[] = {
      {"c:\\Data\\", u"C:\\Data"},
      {"C:/Data/./x/../y", u"C:\\Data\\y"},
      {"E:", u"E:\\"},
      {"E:\\", u"E:\\"},
      {"/mnt/c/Data", u"C:\\Data"},
      {"Data/sub", u"C:\\work\\Data\\sub"},
      {"../../..", u"C:\\"},
      {"/tmp/elsewhere", u""},
      {"C:Data", u""},
      {"", u""},
      {std::string("C:\\a\0b", 6), u""},
  };
  for (const Case& c : cases) {
    nb::nbctl::DrivePath result = nb::nbctl::ToDrivePath(c.argument, "/mnt/c/work", mapper);
    EXPECT_EQ(result.path, c.path) << c.argument;
    EXPECT_EQ(result.error.empty(), !c.path.empty()) << c.argument << ": " << result.error;
  }
  EXPECT_TRUE(nb::nbctl::SameDrivePath(u"C:\\DATA", u"c:\\data"));
  EXPECT_FALSE(nb::nbctl::SameDrivePath(u"C:\\Data", u"D:\\Data"));
  EXPECT_FALSE(nb::nbctl::SameDrivePath(u"C:\\Data", u"C:\\Data2"));
}

TEST(NbctlPaths, ALockAnswersToItsPathUnderEitherLetter) {
  _LCK_INFORMAION folder = Folder(u"\\Data\\Secret", 1, 1, 1);  // drive D:, shown as E:
  _LCK_INFORMAION drive = Folder(u"", 4, 1, 1);
  drive.type = LCK_TYPE_DRIVE;
  struct Case {
    const _LCK_INFORMAION* lock;
    const char16_t* path;
    bool answers;
  };
  const Case cases[] = {
      {&folder, u"D:\\Data\\Secret", true},  {&folder, u"E:\\data\\SECRET", true},
      {&folder, u"F:\\Data\\Secret", false}, {&folder, u"D:\\Data", false},
      {&folder, u"D:\\Data\\Secret2", false}, {&folder, u"D:\\", false},
      {&drive, u"D:\\", true},                {&drive, u"e:\\", true},
      {&drive, u"D:\\Data", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(nb::nbctl::LockAnswersTo(*c.lock, c.path), c.answers) << nb::text::Utf16ToUtf8(c.path);
  }
}

TEST(NbctlPresenter, QuestionsAreAnsweredYesAndErrorsKept) {
  using nb::nbctl::CommandLineAnswer;
  EXPECT_EQ(CommandLineAnswer(MB_YESNO | MB_ICONQUESTION), IDYES);
  EXPECT_EQ(CommandLineAnswer(MB_OK | MB_ICONERROR), IDOK);
  EXPECT_EQ(CommandLineAnswer(MB_RETRYCANCEL), IDCANCEL);

  nb::nbctl::CommandLinePresenter presenter;
  nb::win::ScopedMessageBoxPresenter installed(presenter);
  EXPECT_EQ(MessageBoxW(nullptr, u"Remove it?", u"Question", MB_YESNO), IDYES);
  MessageBoxW(nullptr, u"The folder C:\\x cannot be opened.\n", u"Error", MB_OK | MB_ICONERROR);
  std::vector<std::string> texts = presenter.Take();
  ASSERT_EQ(texts.size(), 1u) << "a question is not news";
  EXPECT_EQ(texts[0], "The folder C:\\x cannot be opened.");
  EXPECT_TRUE(presenter.Take().empty());
}

}  // namespace
