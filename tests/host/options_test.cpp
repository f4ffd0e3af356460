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

TEST(HostOptions, StartTakesDriverImages) {
  ParsedCommand parsed = ParseCommandLine({"start", "--driver", "/opt/nbfs36.sys", "--driver", "nbdv15.sys"}, nullptr);
  ASSERT_TRUE(parsed.ok) << parsed.error;
  ASSERT_EQ(parsed.command.drivers.size(), 2u);
  EXPECT_EQ(parsed.command.drivers[0], "/opt/nbfs36.sys");
  EXPECT_TRUE(parsed.command.drivers[1].ends_with("/nbdv15.sys") && parsed.command.drivers[1][0] == '/');
  EXPECT_FALSE(ParseCommandLine({"start", "--driver"}, nullptr).ok);
  EXPECT_FALSE(ParseCommandLine({"stop", "--driver", "/x.sys"}, nullptr).ok);
}

TEST(HostOptions, Serials) {
  const std::pair<const char*, std::optional<uint32_t>> cases[] = {
      {"1234ABCD", 0x1234ABCD}, {"1234-abcd", 0x1234ABCD}, {"0x1f", 0x1F},       {"0XFFFFFFFF", 0xFFFFFFFF},
      {"7", 7},                 {"0", std::nullopt},       {"0000-0000", std::nullopt}, {"", std::nullopt},
      {"0x", std::nullopt},     {"123456789", std::nullopt}, {"12-34", std::nullopt}, {"12345-678", std::nullopt},
      {"-1234ABC", std::nullopt}, {"12G4", std::nullopt},  {" 12", std::nullopt},
  };
  for (const auto& [text, serial] : cases) EXPECT_EQ(ParseSerial(text), serial) << text;
  EXPECT_EQ(FormatSerial(0x1234ABCD), "1234-ABCD");
  EXPECT_EQ(FormatSerial(0x1F), "0000-001F");
  EXPECT_EQ(ParseSerial(FormatSerial(0xDEADBEEF)), 0xDEADBEEFu);
}

struct VolumeCase {
  std::vector<std::string> arguments;
  bool ok;
  VolumeAction action;
  char letter;
  const char* folder;  // null: not checked
  bool removable;
  std::optional<uint32_t> serial;
  const char* mountPath;
  bool overmount;
};

TEST(HostOptions, VolumeCommands) {
  using enum VolumeAction;
  const VolumeCase cases[] = {
      {{"volume", "list"}, true, kList, 0, "", false, {}, "", false},
      {{"volume", "list", "--root", "/tmp/m"}, true, kList, 0, "", false, {}, "", false},
      {{"volume", "add", "e:", "/media/stick", "--removable", "--serial", "1234-ABCD"},
       true, kAdd, 'E', "/media/stick", true, 0x1234ABCD, "", false},
      {{"volume", "add", "F", "/srv/f/", "--mount", "/mnt/f/../g"}, true, kAdd, 'F', "/srv/f", false, {}, "/mnt/g", false},
      {{"volume", "add", "F", "/srv/f", "--overmount"}, true, kAdd, 'F', "/srv/f", false, {}, "", true},
      {{"volume", "eject", "e"}, true, kEject, 'E', "", false, {}, "", false},
      {{"volume", "insert", "/media/stick"}, true, kInsert, 0, "/media/stick", false, {}, "", false},
      {{"volume", "insert", "/media/stick", "--letter", "g:"}, true, kInsert, 'G', "/media/stick", false, {}, "", false},
      {{"volume"}, false, kList, 0, nullptr, false, {}, nullptr, false},
      {{"volume", "format", "E"}, false, kList, 0, nullptr, false, {}, nullptr, false},
      {{"volume", "list", "extra"}, false, kList, 0, nullptr, false, {}, nullptr, false},
      {{"volume", "add", "E"}, false, kList, 0, nullptr, false, {}, nullptr, false},
      {{"volume", "add", "EE", "/x"}, false, kList, 0, nullptr, false, {}, nullptr, false},
      {{"volume", "add", "1", "/x"}, false, kList, 0, nullptr, false, {}, nullptr, false},
      {{"volume", "add", "E", "/x", "--serial", "0"}, false, kList, 0, nullptr, false, {}, nullptr, false},
      {{"volume", "add", "E", "/x", "--serial"}, false, kList, 0, nullptr, false, {}, nullptr, false},
      {{"volume", "add", "E", "/x", "--mount", "/m", "--overmount"}, false, kList, 0, nullptr, false, {}, nullptr,
       false},
      {{"volume", "eject", "E", "--removable"}, false, kList, 0, nullptr, false, {}, nullptr, false},
      {{"volume", "insert", "/x", "--letter", "5"}, false, kList, 0, nullptr, false, {}, nullptr, false},
      {{"volume", "eject"}, false, kList, 0, nullptr, false, {}, nullptr, false},
  };
  for (const VolumeCase& c : cases) {
    std::string label;
    for (const std::string& word : c.arguments) label += word + " ";
    ParsedCommand parsed = ParseCommandLine(c.arguments, "/tmp/m");
    ASSERT_EQ(parsed.ok, c.ok) << label << ": " << parsed.error;
    if (!c.ok) {
      EXPECT_FALSE(parsed.error.empty()) << label;
      continue;
    }
    const VolumeCommand& volume = parsed.command.volume;
    EXPECT_EQ(parsed.command.verb, Verb::kVolume) << label;
    EXPECT_EQ(parsed.command.root, "/tmp/m") << label;
    EXPECT_EQ(volume.action, c.action) << label;
    EXPECT_EQ(volume.letter, c.letter) << label;
    EXPECT_EQ(volume.folder, c.folder) << label;
    EXPECT_EQ(volume.removable, c.removable) << label;
    EXPECT_EQ(volume.hasSerial, c.serial.has_value()) << label;
    if (c.serial) {
      EXPECT_EQ(volume.serial, *c.serial) << label;
    }
    EXPECT_EQ(volume.mountPath, c.mountPath) << label;
    EXPECT_EQ(volume.overmount, c.overmount) << label;
  }
  // A relative folder is the caller's, not the host's: it travels absolute.
  ParsedCommand relative = ParseCommandLine({"volume", "add", "E", "stick"}, nullptr);
  ASSERT_TRUE(relative.ok);
  EXPECT_EQ(relative.command.volume.folder.front(), '/');
}

}  // namespace
}  // namespace nb::host

TEST(Options, ScCommandsReadSuchWordsAsWindowsScDoes) {
  nb::host::ParsedCommand parsed = nb::host::ParseCommandLine(
      {"sc", "create", "NB Service", "binPath=", "/opt/nimbra/NBSvc", "type=", "kernel", "start=", "system",
       "error=severe", "DisplayName=", "Shown"},
      "/tmp/r");
  ASSERT_TRUE(parsed.ok) << parsed.error;
  const nb::host::ScCommand& sc = parsed.command.sc;
  EXPECT_EQ(sc.action, nb::host::ScAction::kCreate);
  EXPECT_EQ(sc.name, "NB Service");
  EXPECT_EQ(sc.binaryPath, "\\\\?\\unix\\opt\\nimbra\\NBSvc");
  EXPECT_EQ(sc.type, 1u);
  EXPECT_EQ(sc.start, 1u);
  EXPECT_EQ(sc.errorControl, 2u);
  EXPECT_EQ(sc.displayName, "Shown");
  parsed = nb::host::ParseCommandLine({"sc", "create", "x", "binPath=", "C:\\Program Files\\x"}, "/tmp/r");
  ASSERT_TRUE(parsed.ok);
  EXPECT_EQ(parsed.command.sc.binaryPath, "C:\\Program Files\\x") << "a drive path stays as written";
  parsed = nb::host::ParseCommandLine({"sc", "start", "x", "one", "two"}, "/tmp/r");
  ASSERT_TRUE(parsed.ok);
  EXPECT_EQ(parsed.command.sc.arguments, (std::vector<std::string>{"one", "two"}));
  for (std::vector<std::string> refused :
       {std::vector<std::string>{"sc", "create", "x"}, {"sc", "create", "x", "binPath="},
        {"sc", "create", "x", "binPath=", "/x", "start=", "sometimes"}, {"sc", "create", "x", "binPath", "/x"},
        {"sc", "stop"}, {"sc", "stop", "x", "y"}, {"sc", "pause", "x"}}) {
    EXPECT_FALSE(nb::host::ParseCommandLine(refused, "/tmp/r").ok) << refused.back();
  }
}
