// nbhost's command line.
#include <gtest/gtest.h>

#include "nb/host/options.h"

namespace nb::host {
namespace {

struct LineCase {
  std::vector<std::string> arguments;
  const char* environmentRoot;
  bool ok;
  Verb verb;
  const char* root;
  bool foreground;
};

TEST(HostOptions, CommandsRootsAndRefusals) {
  const LineCase cases[] = {
      {{"start"}, nullptr, true, Verb::kStart, "/var/lib/nimbra", false},
      {{"start", "--foreground"}, nullptr, true, Verb::kStart, "/var/lib/nimbra", true},
      {{"start"}, "/tmp/m1", true, Verb::kStart, "/tmp/m1", false},
      {{"stop", "--root", "/tmp/m2/"}, "/tmp/m1", true, Verb::kStop, "/tmp/m2", false},
      {{"status", "--root=/tmp/a/../m3"}, nullptr, true, Verb::kStatus, "/tmp/m3", false},
      {{"start"}, "", true, Verb::kStart, "/var/lib/nimbra", false},
      {{"help"}, nullptr, true, Verb::kHelp, "", false},
      {{}, nullptr, false, Verb::kHelp, "", false},
      {{"launch"}, nullptr, false, Verb::kHelp, "", false},
      {{"start", "--root"}, nullptr, false, Verb::kHelp, "", false},
      {{"start", "--root", ""}, nullptr, false, Verb::kHelp, "", false},
      {{"stop", "--foreground"}, nullptr, false, Verb::kHelp, "", false},
      {{"status", "extra"}, nullptr, false, Verb::kHelp, "", false},
  };
  for (const LineCase& c : cases) {
    std::string label = c.arguments.empty() ? "(none)" : c.arguments[0];
    for (size_t i = 1; i < c.arguments.size(); ++i) label += " " + c.arguments[i];
    ParsedCommand parsed = ParseCommandLine(c.arguments, c.environmentRoot);
    ASSERT_EQ(parsed.ok, c.ok) << label << ": " << parsed.error;
    if (!c.ok) {
      EXPECT_FALSE(parsed.error.empty()) << label;
      continue;
    }
    EXPECT_EQ(parsed.command.verb, c.verb) << label;
    if (c.verb != Verb::kHelp) {
      EXPECT_EQ(parsed.command.root, c.root) << label;
    }
    EXPECT_EQ(parsed.command.foreground, c.foreground) << label;
  }
}

TEST(HostOptions, RelativeRootsBecomeAbsolute) {
  ParsedCommand parsed = ParseCommandLine({"status", "--root", "machine"}, nullptr);
  ASSERT_TRUE(parsed.ok);
  EXPECT_EQ(parsed.command.root.front(), '/');
  EXPECT_EQ(parsed.command.root.substr(parsed.command.root.size() - 8), "/machine");
}

}  // namespace
}  // namespace nb::host
