// The resource compiler: reading string tables, printf arguments, the checks across
// languages, the generated source, and the tool failing a build on bad tables.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "nb/rcgen/string_tables.h"

namespace {

using nb::rcgen::StringTable;

struct ParseCase {
  const char* name;
  const char* source;
  size_t entries;        // read when there is no fault
  const char* fault;     // part of the first message, null when the table is sound
};

void PrintTo(const ParseCase& value, std::ostream* out) { *out << value.name; }

class ParseStringTable : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseStringTable, ReadsOrSaysWhere) {
  StringTable table{"EN", "EN.txt", {}};
  std::vector<std::string> errors;
  bool sound = nb::rcgen::ParseStringTable(GetParam().source, &table, &errors);
  if (!GetParam().fault) {
    EXPECT_TRUE(sound) << (errors.empty() ? "" : errors[0]);
    EXPECT_EQ(table.entries.size(), GetParam().entries);
    return;
  }
  EXPECT_FALSE(sound);
  ASSERT_FALSE(errors.empty());
  EXPECT_NE(errors[0].find(GetParam().fault), std::string::npos) << errors[0];
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseStringTable,
    ::testing::Values(
        ParseCase{"Plain", "1\tone\n2\ttwo", 2, nullptr},
        ParseCase{"CommentsBlanksCrLfAndBom", "\xEF\xBB\xBF# note\r\n\r\n1\tone\r\n", 1, nullptr},
        ParseCase{"Escapes", "1\ta\\tb\\nc\\\\d\\u00e9\\r\n", 1, nullptr},
        ParseCase{"Duplicate", "1\tone\n# again\n1\tuno\n", 0, "EN.txt:3: string 1 is already defined on line 1"},
        ParseCase{"UnknownEscape", "1\tbad \\q escape\n", 0, "EN.txt:1: unknown escape \\q"},
        ParseCase{"LoneBackslash", "1\tends with \\\n", 0, "lone backslash"},
        ParseCase{"ShortUnicodeEscape", "1\t\\u12\n", 0, "four hexadecimal digits"},
        ParseCase{"NulEscape", "1\t\\u0000\n", 0, "four hexadecimal digits"},
        ParseCase{"SurrogateEscape", "1\t\\uD800\n", 0, "surrogates"},
        ParseCase{"NoTab", "1 one\n", 0, "expected an id"},
        ParseCase{"IdTooLarge", "65536\tx\n", 0, "expected an id"},
        ParseCase{"NegativeId", "-1\tx\n", 0, "expected an id"},
        ParseCase{"EmptyText", "3\t\n", 0, "string 3 is empty"},
        ParseCase{"InvalidUtf8", "1\t\xC3\x28\n", 0, "invalid UTF-8"},
        ParseCase{"OverlongUtf8", "1\t\xC0\xAF\n", 0, "invalid UTF-8"},
        ParseCase{"ControlCharacter", "1\ta\tb\n", 0, "control character"}),
    [](const auto& info) { return std::string(info.param.name); });

struct FormatCase {
  const char16_t* text;
  const char* kinds;  // joined with ","; null: refused
};

TEST(FormatArguments, KindsInOrder) {
  const FormatCase cases[] = {
      {u"no arguments, 100%%", ""},
      {u"%c:%s", "wide char,wide string"},
      {u"%d %u %x %X %o %i", "int,int,int,int,int,int"},
      {u"%-10ws|%S|%hs|%ls", "wide string,narrow string,narrow string,wide string"},
      {u"%I64d %lld %08lx", "64-bit int,64-bit int,int"},
      {u"%*d %.*s", "int,int,int,wide string"},
      {u"%C %hc %wc %p", "narrow char,narrow char,wide char,pointer"},
      {u"%1$s", nullptr},
      {u"%n", nullptr},
      {u"%f", nullptr},
      {u"cut %", nullptr},
      {u"cut %l", nullptr},
  };
  for (const FormatCase& c : cases) {
    std::string error;
    auto kinds = nb::rcgen::FormatArguments(c.text, &error);
    if (!c.kinds) {
      EXPECT_FALSE(kinds.has_value());
      EXPECT_FALSE(error.empty());
      continue;
    }
    ASSERT_TRUE(kinds.has_value()) << error;
    std::string joined;
    for (const std::string& kind : *kinds) joined += (joined.empty() ? "" : ",") + kind;
    EXPECT_EQ(joined, c.kinds);
  }
}

StringTable Table(const char* language, std::vector<std::pair<uint32_t, std::u16string>> entries) {
  StringTable table{language, std::string(language) + ".txt", {}};
  int line = 0;
  for (auto& [id, text] : entries) table.entries.push_back({id, text, ++line});
  return table;
}

TEST(CheckTables, LanguagesAgainstTheFirst) {
  StringTable english = Table("EN", {{1, u"Drive %c: path %s"}, {2, u"Code %d"}});
  std::vector<std::string> errors;
  EXPECT_TRUE(nb::rcgen::CheckTables({english, Table("JP", {{2, u"コード %d"}, {1, u"ドライブ %c: パス %s"}})}, &errors));
  EXPECT_TRUE(errors.empty());

  struct Case {
    StringTable other;
    const char* fault;
  };
  const Case cases[] = {
      {Table("JP", {{1, u"%c %s"}}), "JP.txt: string 2 of EN is missing"},
      {Table("KO", {{1, u"%c %s"}, {2, u"%d"}, {3, u"extra"}}), "KO.txt:3: string 3 is not in EN"},
      {Table("CH", {{1, u"%s %c"}, {2, u"%d"}}), "CH.txt:1: string 1 takes (wide string, wide char) but EN takes (wide char, wide string)"},
      {Table("CH", {{1, u"%c %s"}, {2, u"%d %d"}}), "string 2 takes (int, int) but EN takes (int)"},
      {Table("CH", {{1, u"%c %S"}, {2, u"%d"}}), "string 1 takes (wide char, narrow string)"},
      {Table("CH", {{1, u"%c %s"}, {2, u"no code"}}), "string 2 takes (none) but EN takes (int)"},
      {Table("CH", {{1, u"%c %s"}, {2, u"%n"}}), "CH.txt:2: string 2: %n is not allowed"},
  };
  for (const Case& c : cases) {
    errors.clear();
    EXPECT_FALSE(nb::rcgen::CheckTables({english, c.other}, &errors)) << c.fault;
    ASSERT_FALSE(errors.empty()) << c.fault;
    EXPECT_NE(errors[0].find(c.fault), std::string::npos) << errors[0];
  }
  // A bad format in the first language is its own fault too.
  errors.clear();
  EXPECT_FALSE(nb::rcgen::CheckTables({Table("EN", {{1, u"%q"}})}, &errors));
}

TEST(ModuleSource, BlocksOfSixteenCountedStrings) {
  std::string source = nb::rcgen::ModuleSource("VAULT", Table("EN", {{1, u"ab"}, {17, u"c"}}), 0x0409);
  // String 1 is the second of block 1: an empty slot, then length 2 and "ab".
  EXPECT_NE(source.find("kBlock1[] = {\n    0x0000, 0x0002, 0x0061, 0x0062, 0x0000,"), std::string::npos) << source;
  EXPECT_NE(source.find("kBlock2[]"), std::string::npos);
  EXPECT_NE(source.find("{{6, nullptr}, {2, nullptr}, 0x0409"), std::string::npos);
  EXPECT_NE(source.find("NbResources = {\n    kNbResourceMagic, kNbResourceVersion, 2, kEntries}"), std::string::npos);
  EXPECT_EQ(nb::rcgen::LanguageIdOf("CH"), 0x0804);
  EXPECT_FALSE(nb::rcgen::LanguageIdOf("FR"));
}

TEST(ModuleSource, FileResourcesAreNeutralEntriesOfTheirType) {
  std::filesystem::path file = std::filesystem::temp_directory_path() / ("nbrcgen_icon_" + std::to_string(getpid()));
  std::ofstream(file, std::ios::binary) << std::string("\x89PNG\0z", 6);
  struct Case {
    std::string argument;
    uint16_t type;  // 0: refused
  };
  const Case cases[] = {
      {"ICON:9036=" + file.string(), 3}, {"RCDATA:9054=" + file.string(), 10}, {"BITMAP:1=" + file.string(), 2},
      {"CURSOR:1=" + file.string(), 0},  {"ICON:0=" + file.string(), 0},       {"ICON:70000=" + file.string(), 0},
      {"ICON:x=" + file.string(), 0},    {"ICON=" + file.string(), 0},         {"ICON:1=" + file.string() + ".no", 0},
  };
  for (const Case& c : cases) {
    nb::rcgen::FileResource resource;
    std::string error;
    EXPECT_EQ(nb::rcgen::ParseFileResource(c.argument, &resource, &error), c.type != 0) << c.argument;
    if (c.type) {
      EXPECT_EQ(resource.type, c.type) << c.argument;
    }
  }
  nb::rcgen::FileResource icon;
  std::string error;
  ASSERT_TRUE(nb::rcgen::ParseFileResource("ICON:9036=" + file.string(), &icon, &error)) << error;
  EXPECT_EQ(icon.bytes, std::string("\x89PNG\0z", 6)) << "read whole, NULs too";
  std::string source = nb::rcgen::ModuleSource("NBMgrSDK", Table("EN", {{1, u"ab"}}), 0x0409, {icon});
  EXPECT_NE(source.find("kFile0[] = {\n    137,80,78,71,0,122,\n};"), std::string::npos) << source;
  EXPECT_NE(source.find("{{3, nullptr}, {9036, nullptr}, 0, 0, sizeof kFile0, kFile0}"), std::string::npos);
  EXPECT_NE(source.find("kNbResourceVersion, 2, kEntries}"), std::string::npos) << "one string block, one file";
  std::filesystem::remove(file);
}

// The tool as a build runs it: bad tables fail it and leave nothing behind.
TEST(ResourceCompilerTool, FailsTheBuildOnBadTables) {
  std::filesystem::path dir = std::filesystem::temp_directory_path() / ("nbrcgen_test_" + std::to_string(getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  auto write = [&](const char* name, const char* text) { std::ofstream(dir / name) << text; };
  write("EN.txt", "1\tDrive %c:%s\n2\tplain\n");
  write("JP.txt", "1\tドライブ %c:%s\n2\t普通\n");
  write("KO.txt", "1\t%s %c\n2\tplain\n");
  write("CH.txt", "1\t%c:%s\n1\tagain\n");
  auto run = [&](const std::string& languages) {
    std::string command = std::string(NBRCGEN) + " " + (dir / "out").string() + " MOD " + languages + " 2>" +
                          (dir / "errors").string();
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  auto arg = [&](const char* language) { return std::string(language) + "=" + (dir / (std::string(language) + ".txt")).string(); };

  EXPECT_EQ(run(arg("EN") + " " + arg("JP")), 0);
  EXPECT_TRUE(std::filesystem::exists(dir / "out" / "MOD.EN.cpp"));
  EXPECT_TRUE(std::filesystem::exists(dir / "out" / "MOD.JP.cpp"));

  std::filesystem::remove_all(dir / "out");
  EXPECT_EQ(run(arg("EN") + " " + arg("KO")), 1);  // arguments in another order
  EXPECT_EQ(run(arg("EN") + " " + arg("CH")), 1);  // a duplicate id
  EXPECT_EQ(run(arg("EN") + " FR=" + (dir / "EN.txt").string()), 1);
  EXPECT_EQ(run(arg("EN") + " " + arg("EN")), 1);
  EXPECT_EQ(run(arg("EN") + " JP=" + (dir / "missing.txt").string()), 1);
  EXPECT_FALSE(std::filesystem::exists(dir / "out")) << "a failed run writes nothing";
  std::ifstream errors(dir / "errors");
  std::string text((std::istreambuf_iterator<char>(errors)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("missing.txt: cannot be read"), std::string::npos) << text;
  std::filesystem::remove_all(dir);
}

}  // namespace
