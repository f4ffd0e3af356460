// The service manager's rules by plain calls: controls by state, rights by user, and how
// an ImagePath names a program.
#include <gtest/gtest.h>

#include "nb/kernel/service_rules.h"

namespace {

using namespace nb::kernel;

constexpr DWORD kAll = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN;

TEST(ServiceRules, AControlIsTakenOnlyInTheStatesAndAcceptancesThatAllowIt) {
  struct Case {
    DWORD control;
    DWORD state;
    DWORD accepted;
    bool fromMachine;
    DWORD error;
  };
  const Case cases[] = {
      {SERVICE_CONTROL_STOP, SERVICE_RUNNING, kAll, false, 0},
      {SERVICE_CONTROL_STOP, SERVICE_STOPPED, kAll, false, ERROR_SERVICE_NOT_ACTIVE},
      {SERVICE_CONTROL_INTERROGATE, SERVICE_STOPPED, 0, false, ERROR_SERVICE_NOT_ACTIVE},
      {SERVICE_CONTROL_STOP, SERVICE_START_PENDING, kAll, false, ERROR_SERVICE_CANNOT_ACCEPT_CTRL},
      {SERVICE_CONTROL_PAUSE, SERVICE_STOP_PENDING, kAll, false, ERROR_SERVICE_CANNOT_ACCEPT_CTRL},
      {SERVICE_CONTROL_PAUSE, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, false, ERROR_INVALID_SERVICE_CONTROL},
      {SERVICE_CONTROL_CONTINUE, SERVICE_PAUSED, kAll, false, 0},
      {SERVICE_CONTROL_STOP, SERVICE_PAUSED, 0, false, ERROR_INVALID_SERVICE_CONTROL},
      {SERVICE_CONTROL_INTERROGATE, SERVICE_PAUSED, 0, false, 0},
      {SERVICE_CONTROL_SHUTDOWN, SERVICE_RUNNING, kAll, false, ERROR_INVALID_SERVICE_CONTROL},
      {SERVICE_CONTROL_SHUTDOWN, SERVICE_RUNNING, kAll, true, 0},
      {SERVICE_CONTROL_SHUTDOWN, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, true, ERROR_INVALID_SERVICE_CONTROL},
      {200, SERVICE_RUNNING, 0, false, 0},
      {6, SERVICE_RUNNING, kAll, false, ERROR_INVALID_SERVICE_CONTROL},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CheckControl(c.control, c.state, c.accepted, c.fromMachine), c.error)
        << "control " << c.control << " in state " << c.state;
  }
}

TEST(ServiceRules, UsersOtherThanRootHoldOnlyTheRightsToLook) {
  struct Case {
    ACCESS_MASK desired;
    bool manager;
    bool user;
  };
  const Case cases[] = {
      {SC_MANAGER_CONNECT, true, true},
      {SC_MANAGER_ENUMERATE_SERVICE | READ_CONTROL, true, true},
      {GENERIC_READ, true, true},
      {SC_MANAGER_CREATE_SERVICE, true, false},
      {GENERIC_WRITE, true, false},
      {SC_MANAGER_ALL_ACCESS, true, false},
      {SERVICE_QUERY_STATUS | SERVICE_INTERROGATE, false, true},
      {GENERIC_READ, false, true},
      {SERVICE_START, false, false},
      {GENERIC_EXECUTE, false, false},
      {DELETE, false, false},
      {SERVICE_USER_DEFINED_CONTROL, false, false},
  };
  for (const Case& c : cases) {
    ACCESS_MASK mapped = c.manager ? MapManagerAccess(c.desired) : MapServiceAccess(c.desired);
    bool userMay = c.manager ? ManagerAccessAllowed(1000, mapped) : ServiceAccessAllowed(1000, mapped);
    bool rootMay = c.manager ? ManagerAccessAllowed(0, mapped) : ServiceAccessAllowed(0, mapped);
    EXPECT_EQ(userMay, c.user) << std::hex << c.desired;
    EXPECT_TRUE(rootMay) << std::hex << c.desired;
  }
  EXPECT_EQ(RightForControl(SERVICE_CONTROL_STOP), ACCESS_MASK{SERVICE_STOP});
  EXPECT_EQ(RightForControl(SERVICE_CONTROL_CONTINUE), ACCESS_MASK{SERVICE_PAUSE_CONTINUE});
  EXPECT_EQ(RightForControl(SERVICE_CONTROL_SHUTDOWN), ACCESS_MASK{0});
}

TEST(ServiceRules, ACommandLineIsReadQuotedOrWholeThenCutAtEachBlank) {
  std::vector<ImageCommand> quoted = ReadImageCommand(u"\"C:\\Program Files\\x\" -a \"b c\"");
  ASSERT_EQ(quoted.size(), 1u);
  EXPECT_EQ(quoted[0].program, u"C:\\Program Files\\x");
  EXPECT_EQ(quoted[0].arguments, (std::vector<std::u16string>{u"-a", u"b c"}));
  std::vector<ImageCommand> plain = ReadImageCommand(u"C:\\Program Files\\x -a");
  ASSERT_EQ(plain.size(), 3u);
  EXPECT_EQ(plain[0].program, u"C:\\Program Files\\x -a");
  EXPECT_TRUE(plain[0].arguments.empty());
  EXPECT_EQ(plain[1].program, u"C:\\Program");
  EXPECT_EQ(plain[2].program, u"C:\\Program Files\\x");
  EXPECT_EQ(plain[2].arguments, std::vector<std::u16string>{u"-a"});
  EXPECT_TRUE(ReadImageCommand(u"   ").empty());
  EXPECT_TRUE(ReadImageCommand(u"\"unclosed").empty());
}

TEST(ServiceRules, ImagePathsReachADriveOrAHostFileAndNeverClimbAboveARoot) {
  struct Case {
    std::u16string_view path;
    bool located;
    ImageLocation::Kind kind;
    WCHAR letter;
    std::u16string relative;
    std::string host;
  };
  using K = ImageLocation::Kind;
  const Case cases[] = {
      {u"C:\\Program Files\\Nimbra\\NBSvc", true, K::kDrive, u'C', u"Program Files/Nimbra/NBSvc", ""},
      {u"e:/a/./b", true, K::kDrive, u'E', u"a/b", ""},
      {u"\\??\\C:\\Windows\\nbfs36.sys", true, K::kDrive, u'C', u"Windows/nbfs36.sys", ""},
      {u"\\DosDevices\\D:\\x.sys", true, K::kDrive, u'D', u"x.sys", ""},
      {u"\\SystemRoot\\system32\\drivers\\x.sys", true, K::kDrive, u'C', u"Windows/system32/drivers/x.sys", ""},
      {u"system32\\drivers\\x.sys", true, K::kDrive, u'C', u"Windows/system32/drivers/x.sys", ""},
      {u"C:\\..\\..\\etc\\passwd", true, K::kDrive, u'C', u"etc/passwd", ""},
      {u"\\\\?\\unix\\usr\\lib\\..\\bin\\svc", true, K::kUnix, 0, u"", "/usr/bin/svc"},
      {u"\\\\?\\unix\\..\\..", false, K::kDrive, 0, u"", ""},
      {u"C:\\", false, K::kDrive, 0, u"", ""},
      {u"\\Device\\x", false, K::kDrive, 0, u"", ""},
      {u"1:\\x", false, K::kDrive, 0, u"", ""},
  };
  for (const Case& c : cases) {
    std::optional<ImageLocation> location = LocateImage(c.path);
    ASSERT_EQ(location.has_value(), c.located) << std::string(c.path.begin(), c.path.end());
    if (!location) continue;
    EXPECT_EQ(location->kind, c.kind);
    EXPECT_EQ(location->letter, c.letter);
    EXPECT_EQ(location->relative, c.relative);
    EXPECT_EQ(location->hostPath, c.host);
  }
}

TEST(ServiceRules, OnlyConfigurationsTheMachineRunsPass) {
  ServiceConfig config{SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS, SERVICE_AUTO_START, 1, u"C:\\x", u"x"};
  EXPECT_EQ(CheckServiceConfig(config), 0u);
  config.type = SERVICE_FILE_SYSTEM_DRIVER;
  config.start = SERVICE_BOOT_START;
  EXPECT_EQ(CheckServiceConfig(config), 0u);
  EXPECT_EQ(CheckServiceName(std::u16string(256, u'n')), 0u);
  EXPECT_EQ(CheckServiceName(std::u16string(257, u'n')), DWORD{ERROR_INVALID_NAME});
  EXPECT_EQ(CheckServiceName(u"a/b"), DWORD{ERROR_INVALID_NAME});
}

}  // namespace
