// The command line's option parser: letters grouped or apart, both introducers, where
// parsing stops, unknown letters and their message, letters that take an argument.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <windows.h>

#include "service.h"

namespace service_test {
namespace {

struct ParseCase {
  const char* name;
  std::vector<std::u16string> arguments;  // after the program's name
  const char16_t* letters;
  std::string results;  // the letters returned in order, '?' and ':' included
  int nextIndex;        // where parsing stopped
  std::string printed;
};
void PrintTo(const ParseCase& value, std::ostream* out) { *out << value.name; }

class Options : public ::testing::TestWithParam<ParseCase> {};

TEST_P(Options, Parse) {
  const ParseCase& param = GetParam();
  std::vector<std::u16string> storage = {u"NBSvc"};
  storage.insert(storage.end(), param.arguments.begin(), param.arguments.end());
  std::vector<WCHAR*> argv;
  for (std::u16string& argument : storage) argv.push_back(argument.data());
  argv.push_back(nullptr);
  OptionState state;
  std::string results;
  ::testing::internal::CaptureStdout();
  for (int guard = 0; guard < 32; ++guard) {
    int letter = GetOption(state, static_cast<int>(storage.size()), argv.data(), param.letters);
    if (letter == -1) break;
    results += static_cast<char>(letter);
  }
  std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(results, param.results);
  EXPECT_EQ(state.index, param.nextIndex);
  EXPECT_EQ(printed, param.printed);
}

INSTANTIATE_TEST_SUITE_P(
    Service, Options,
    ::testing::Values(
        ParseCase{"None", {}, NBSVC_OPTIONS, "", 1, ""},
        ParseCase{"Apart", {u"/i", u"-t"}, NBSVC_OPTIONS, "it", 3, ""},
        ParseCase{"Grouped", {u"/it", u"-dp"}, NBSVC_OPTIONS, "itdp", 3, ""},
        ParseCase{"StopsAtAPlainArgument", {u"/i", u"name", u"/t"}, NBSVC_OPTIONS, "i", 2, ""},
        ParseCase{"StopsAtALoneIntroducer", {u"/", u"/t"}, NBSVC_OPTIONS, "", 1, ""},
        ParseCase{"DoubleDashIsConsumed", {u"--", u"/t"}, NBSVC_OPTIONS, "", 2, ""},
        ParseCase{"DoubleSlashIsConsumed", {u"/c", u"//", u"/t"}, NBSVC_OPTIONS, "c", 3, ""},
        ParseCase{"UnknownLetter", {u"/x"}, NBSVC_OPTIONS, "?", 2, "NBSvc:Illegal option -- x\n"},
        ParseCase{"UnknownInAGroup", {u"/ixt"}, NBSVC_OPTIONS, "i?t", 2, "NBSvc:Illegal option -- x\n"},
        ParseCase{"ColonIsNoLetter", {u"-:"}, NBSVC_OPTIONS, "?", 2, "NBSvc:Illegal option -- :\n"},
        ParseCase{"QuietWithLeadingColon", {u"/x"}, u":ab", "?", 2, ""},
        ParseCase{"ArgumentInTheSameWord", {u"/afile", u"/b"}, u"a:b", "ab", 3, ""},
        ParseCase{"ArgumentInTheNextWord", {u"/a", u"file", u"/b"}, u"a:b", "ab", 4, ""},
        ParseCase{"MissingArgument", {u"/a"}, u"a:b", "?", 2, "NBSvc:Option requires an arguments -- a\n"},
        ParseCase{"MissingArgumentQuiet", {u"/a"}, u":a:b", ":", 2, ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace service_test
