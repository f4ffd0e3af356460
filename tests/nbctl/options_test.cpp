// nbctl's command line: what each command accepts, what it refuses, and the values it
// decodes before anything is touched.
#include "options.h"

#include <gtest/gtest.h>

namespace {

using nb::nbctl::Command;
using nb::nbctl::Options;
using nb::nbctl::ParseCommandLine;
using nb::nbctl::ParseResult;
using nb::nbctl::TrustScope;

Options Parsed(const std::vector<std::string>& arguments) {
  ParseResult result = ParseCommandLine(arguments);
  EXPECT_TRUE(result.options) << result.error;
  return result.options.value_or(Options{});
}

TEST(NbctlOptions, RefusesWhatItDoesNotUnderstand) {
  struct Case {
    std::vector<std::string> arguments;
    std::string errorPart;
  };
  const Case cases[] = {
      {{"frobnicate"}, "unknown command"},
      {{"list", "--bogus"}, "unknown option"},
      {{"list", "-x"}, "unknown option"},
      {{"lock"}, "needs more arguments"},
      {{"lock", "C:\\a", "C:\\b"}, "takes fewer arguments"},
      {{"lock", "C:\\a", "--mode", "secret"}, "--mode takes hidden or readonly"},
      {{"lock", "C:\\a", "--timeout", "10001"}, "--timeout takes minutes"},
      {{"lock", "C:\\a", "--timeout", "-1"}, "--timeout takes minutes"},
      {{"lock", "C:\\a", "--timeout", "5x"}, "--timeout takes minutes"},
      {{"lock", "C:\\a", "--timeout"}, "needs a value"},
      {{"lock", "C:\\a", "--drive=E"}, "takes no value"},
      {{"list", "--json=yes"}, "takes no value"},
      {{"unlock", "--all", "C:\\a"}, "takes no option --all"},
      {{"mode", "C:\\a", "secret"}, "the mode is hidden or readonly"},
      {{"timeout", "C:\\a", "99999999999999999999"}, "the time-out is a number"},
      {{"trust"}, "needs an action"},
      {{"trust", "grant", "12"}, "unknown action"},
      {{"trust", "add", "0"}, "positive number"},
      {{"trust", "add", "abc"}, "positive number"},
      {{"trust", "add", "4294967296"}, "positive number"},
      {{"trust", "add", "12", "--global", "--drive", "E:"}, "at most one"},
      {{"trust", "add", "12", "--name", "a-name-longer-than-15"}, "1 to 15 characters"},
      {{"account", "add"}, "needs more arguments"},
      {{"account", "add", ""}, "needs a name"},
      {{"defaults", "hidden"}, "a mode and a time-out"},
      {{"defaults", "hidden", "ten"}, "\"defaults\" takes"},
      {{"log", "start", "0"}, "records"},
      {{"list", "--user"}, "needs a value"},
      {{"list", "--user="}, "--user needs a name"},
  };
  for (const Case& c : cases) {
    ParseResult result = ParseCommandLine(c.arguments);
    EXPECT_FALSE(result.options) << c.arguments[0];
    EXPECT_NE(result.error.find(c.errorPart), std::string::npos) << "got: " << result.error;
  }
}

TEST(NbctlOptions, DecodesLockOptionsInAnyOrder) {
  Options a = Parsed({"--user", "ann", "lock", "--mode=readonly", "C:\\Data", "--timeout", "30", "--drive"});
  EXPECT_EQ(a.command, Command::kLock);
  EXPECT_EQ(a.user, "ann");
  ASSERT_EQ(a.args.size(), 1u);
  EXPECT_EQ(a.args[0], "C:\\Data");
  EXPECT_EQ(a.mode, 4);
  EXPECT_EQ(a.timeout, 30);
  EXPECT_TRUE(a.wholeDrive);

  Options b = Parsed({"lock", "/mnt/c/Data"});
  EXPECT_FALSE(b.mode) << "no mode given: the stored defaults apply";
  EXPECT_FALSE(b.timeout);
  EXPECT_FALSE(b.wholeDrive);
}

TEST(NbctlOptions, DoubleDashEndsOptions) {
  Options options = Parsed({"unlock", "--", "--odd-folder-name", "-h"});
  EXPECT_EQ(options.command, Command::kUnlock);
  EXPECT_EQ(options.args, (std::vector<std::string>{"--odd-folder-name", "-h"}));
}

TEST(NbctlOptions, ModeAndTimeoutArgumentsAreDecoded) {
  EXPECT_EQ(Parsed({"mode", "C:\\a", "hidden"}).mode, 1);
  EXPECT_EQ(Parsed({"mode", "C:\\a", "read-only"}).mode, 4);
  EXPECT_EQ(Parsed({"timeout", "C:\\a", "0"}).timeout, 0);
  EXPECT_EQ(Parsed({"timeout", "C:\\a", "10000"}).timeout, 10000);
  Options defaults = Parsed({"defaults", "readonly", "15"});
  EXPECT_EQ(defaults.mode, 4);
  EXPECT_EQ(defaults.timeout, 15);
  EXPECT_FALSE(Parsed({"defaults"}).mode);
}

TEST(NbctlOptions, TrustScopesAndPermissions) {
  Options global = Parsed({"trust", "add", "42"});
  EXPECT_EQ(global.scope, TrustScope::kGlobal) << "add without a scope means the global list";
  EXPECT_EQ(global.pid, 42u);
  EXPECT_EQ(global.permission, 2);

  Options drive = Parsed({"trust", "add", "--drive", "E:", "42", "--read", "--name", "tool.exe"});
  EXPECT_EQ(drive.scope, TrustScope::kDrive);
  EXPECT_EQ(drive.scopePath, "E:");
  EXPECT_EQ(drive.pid, 42u) << "the drive's letter is not taken for the process id";
  EXPECT_EQ(drive.permission, 1);
  EXPECT_EQ(drive.processName, "tool.exe");

  Options folder = Parsed({"trust", "remove", "7", "--folder=C:\\Data"});
  EXPECT_EQ(folder.scope, TrustScope::kFolder);
  EXPECT_EQ(folder.scopePath, "C:\\Data");

  Options list = Parsed({"trust", "list"});
  EXPECT_EQ(list.scope, TrustScope::kEverywhere);
  EXPECT_EQ(Parsed({"trust", "list", "--drive", "e"}).scopePath, "e");
}

TEST(NbctlOptions, HelpWinsAndNothingMeansHelp) {
  EXPECT_EQ(Parsed({}).command, Command::kHelp);
  EXPECT_EQ(Parsed({"lock", "--help"}).command, Command::kHelp);
  EXPECT_EQ(Parsed({"-h"}).command, Command::kHelp);
  EXPECT_EQ(Parsed({"help"}).command, Command::kHelp);
}

TEST(NbctlOptions, WhoMayRunWhat) {
  struct Case {
    std::vector<std::string> arguments;
    bool login;
    bool administrator;
  };
  const Case cases[] = {
      {{"status"}, false, false},
      {{"help"}, false, false},
      {{"list"}, true, false},
      {{"list", "--all"}, true, true},
      {{"lock", "C:\\a"}, true, false},
      {{"trust", "list"}, true, false},
      {{"trust", "add", "9"}, true, true},
      {{"trust", "remove", "9"}, true, true},
      {{"account", "passwd"}, true, false},
      {{"account", "list"}, true, true},
      {{"account", "add", "bob"}, true, true},
      {{"account", "delete", "bob"}, true, true},
      {{"defaults", "hidden", "0"}, true, false},
      {{"log"}, true, false},
      {{"log", "start"}, true, true},
  };
  for (const Case& c : cases) {
    Options options = Parsed(c.arguments);
    EXPECT_EQ(nb::nbctl::NeedsLogin(options), c.login) << c.arguments[0];
    EXPECT_EQ(nb::nbctl::NeedsAdministrator(options), c.administrator) << c.arguments[0];
  }
}

TEST(NbctlOptions, NumbersAreWholeAndInRange) {
  using nb::nbctl::ParseNumber;
  EXPECT_EQ(ParseNumber("0", 0, 5), 0);
  EXPECT_EQ(ParseNumber("5", 0, 5), 5);
  EXPECT_FALSE(ParseNumber("6", 0, 5));
  EXPECT_FALSE(ParseNumber("+1", 0, 5));
  EXPECT_FALSE(ParseNumber(" 1", 0, 5));
  EXPECT_FALSE(ParseNumber("1 ", 0, 5));
  EXPECT_FALSE(ParseNumber("", 0, 5));
  EXPECT_FALSE(ParseNumber("0x1", 0, 5));
}

}  // namespace
