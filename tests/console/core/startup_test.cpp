// The console's start-up and exit over the test machine: the first run, the registry's
// administrator copied into an empty user database, a user database that cannot be opened
// (no first run, nothing written), the version and service checks, another console alive
// or left behind, a cancelled login, and the exit question.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include <gtest/gtest.h>

#include "NBUtil.h"
#include "console_ids.h"
#include "core_machine.h"
#include "nb/text.h"
#include "startup.h"

extern char** environ;

namespace core_test {
namespace {

using namespace nb::console;
using util_test::Quietly;

constexpr const char16_t* kConsolePath = u"C:\\Program Files\\Nimbra\\NBAdmin";

class Child {
 public:
  Child() {
    char sleep[] = "sleep";
    char seconds[] = "60";
    char* argv[] = {sleep, seconds, nullptr};
    if (posix_spawnp(&pid_, "sleep", nullptr, nullptr, argv, environ) != 0) pid_ = -1;
  }
  ~Child() { End(); }
  DWORD pid() const { return static_cast<DWORD>(pid_); }
  void End() {
    if (pid_ <= 0 || ended_) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    ended_ = true;
  }

 private:
  pid_t pid_ = -1;
  bool ended_ = false;
};

class FakeHost : public StartupHost {
 public:
  int FirstAdministrator(_PWDTBL* account, CMdb* users) override {
    ++firstAdministratorCalls;
    return firstAdministrator ? firstAdministrator(account, users) : 0;
  }
  int Login(int, _PWDTBL* account, int* remember, CMdb* users) override {
    ++loginCalls;
    nameOffered = account->user;
    rememberOffered = *remember;
    return login ? login(account, remember, users) : 0;
  }
  void Splash(int) override { ++splashCalls; }
  void BringForward(const std::u16string& title) override { broughtForward.push_back(title); }

  std::function<int(_PWDTBL*, CMdb*)> firstAdministrator;
  std::function<int(_PWDTBL*, int*, CMdb*)> login;
  int firstAdministratorCalls = 0, loginCalls = 0, splashCalls = 0;
  std::u16string nameOffered;
  int rememberOffered = -1;
  std::vector<std::u16string> broughtForward;
};

_PWDTBL Account(std::u16string_view user, int admin) {
  _PWDTBL account{};
  std::copy(user.begin(), user.end(), account.user);
  CreatePassword(u"secret", 6, account.password, PWD_PASSWORD_UNITS);
  account.admin = admin;
  return account;
}

std::u16string Builtin(UINT id) {
  switch (id) {
    case kStrNoVersion: return u"Can't get version information.(code=%d) ";
    case kStrBadVersion: return u"Invalid version.(code=%d)";
    default: return Text(id);
  }
}

class StartupTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    int major = 0, minor = 0;
    ASSERT_EQ(VAULTVersion(&major, &minor), 0);
    driverFile = machine.Folder('C') / "Windows" / "Application Data" / "NB" /
                 ("nbfs" + std::to_string(major) + std::to_string(minor) + ".sys");
    std::FILE* file = std::fopen(driverFile.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    ASSERT_EQ(CreateLock(&serviceMutex), 1);
    host.login = [](_PWDTBL* account, int* remember, CMdb* users) {
      CreatePassword(u"secret", 6, account->password, PWD_PASSWORD_UNITS);
      *remember = 1;
      return users->CheckPwd(account) ? 1 : 0;
    };
  }
  void TearDown() override {
    if (serviceMutex) CloseHandle(serviceMutex);
  }
  StartOutcome Start(ConsoleSession& session, const char16_t* path = kConsolePath) {
    return Quietly([&] { return session.Start(path); });
  }
  // The global trusted list's names and ids.
  std::vector<std::pair<std::u16string, DWORD>> Trusted() {
    int count = vault.ProcGlobalCount(false);
    std::vector<_LCK_PROC_INFORMATION> records(static_cast<size_t>(count));
    if (count > 0) {
      EXPECT_TRUE(vault.ProcGlobalGetInformation(records.data(), count, false));
    }
    std::vector<std::pair<std::u16string, DWORD>> list;
    for (const auto& record : records) list.emplace_back(record.procName, record.pid);
    return list;
  }
  bool Trusts(std::u16string_view name, DWORD pid) {
    auto list = Trusted();
    return std::find(list.begin(), list.end(), std::pair<std::u16string, DWORD>(std::u16string(name), pid)) !=
           list.end();
  }
  void Register(std::u16string_view name, DWORD pid) {
    _LCK_PROC_INFORMATION record{};
    std::copy(name.begin(), name.end(), record.procName);
    record.permission = PROC_PERMISSION_FULL;
    record.pid = pid;
    ASSERT_TRUE(Quietly([&] { return vault.ProcGlobalRegister(&record, false); }));
  }

  std::filesystem::path driverFile;
  HANDLE serviceMutex = nullptr;
  MapProfile profile;
  FakeHost host;
};

TEST_F(StartupTest, TheFirstRunCreatesTheAdministratorWithoutALogin) {
  host.firstAdministrator = [](_PWDTBL* account, CMdb* users) {
    *account = Account(u"root", 1);
    AdmSetEx(account);
    return users->AddPwd(account) ? 1 : 0;
  };
  ConsoleSession session(profile, host, TestStrings());
  ASSERT_EQ(Start(session), StartOutcome::kStarted);
  EXPECT_EQ(host.firstAdministratorCalls, 1);
  EXPECT_EQ(host.loginCalls, 0);
  EXPECT_EQ(host.splashCalls, 1);
  EXPECT_TRUE(session.Administrator());
  EXPECT_EQ(std::u16string(session.Account().user), u"root");
  EXPECT_EQ(profile.GetString(kUserSection, kUserValue, u"-"), u"root");
  EXPECT_EQ(profile.GetInt(kUserSection, kCheckValue, -1), 0);
  EXPECT_TRUE(Trusts(u"NBAdmin.exe", GetCurrentProcessId()));
  EXPECT_EQ(session.Title(), Text(kStrTitle)) << "no language module: the built-in texts";
  EXPECT_TRUE(boxes.Shown().empty());
}

TEST_F(StartupTest, TheRegistryAdministratorIsCopiedAndTheLoginFollows) {
  ASSERT_EQ(AdmSet("boss", "secret"), 1);
  profile.SetString(kUserSection, kUserValue, u"last");
  profile.SetInt(kUserSection, kCheckValue, 1);
  host.login = [](_PWDTBL* account, int* remember, CMdb* users) {
    *account = Account(u"boss", 0);
    *remember = 0;
    return users->CheckPwd(account) ? 1 : 0;
  };
  ConsoleSession session(profile, host, TestStrings());
  ASSERT_EQ(Start(session), StartOutcome::kStarted);
  EXPECT_EQ(host.firstAdministratorCalls, 0);
  EXPECT_EQ(host.loginCalls, 1);
  EXPECT_EQ(host.nameOffered, u"last");
  EXPECT_EQ(host.rememberOffered, 1);
  CMdb users(kUserDb, true);
  ASSERT_EQ(users.GetCountPwd(), 1);
  _PWDTBL stored{};
  ASSERT_EQ(users.GetPwd(&stored, 1), 1);
  EXPECT_EQ(std::u16string(stored.user), u"boss");
  EXPECT_EQ(stored.admin, 1);
  EXPECT_TRUE(session.Administrator()) << "the stored record is the logged-in account";
  EXPECT_EQ(profile.GetString(kUserSection, kUserValue, u"-"), u"boss");
  EXPECT_EQ(profile.GetInt(kUserSection, kCheckValue, -1), 0);
}

// A user database that cannot be opened is not an empty one: no first run, nothing
// written to the database, the registry or the profile.
TEST_F(StartupTest, AnUnopenableUserDatabaseIsAnErrorNotAFirstRun) {
  for (bool removed : {false, true}) {
    SCOPED_TRACE(removed ? "removed" : "held by a writer");
    std::unique_ptr<DatabaseHolder> holder;
    std::filesystem::path file = machine.Folder('C') / "Windows" / "Application Data" / "NB" / "user";
    if (removed) {
      std::filesystem::remove(file);
    } else {
      holder = std::make_unique<DatabaseHolder>(file.string());
      ASSERT_TRUE(holder->Holding());
    }
    FakeHost quiet;
    quiet.firstAdministrator = [](_PWDTBL* account, CMdb* users) {
      *account = Account(u"intruder", 1);
      AdmSetEx(account);
      users->AddPwd(account);
      return 1;
    };
    MapProfile untouched;
    size_t boxesBefore = boxes.Shown().size();
    {
      ConsoleSession session(untouched, quiet, TestStrings());
      EXPECT_EQ(Start(session), StartOutcome::kUserDbFailed);
      EXPECT_FALSE(session.Registered());
    }
    EXPECT_EQ(quiet.firstAdministratorCalls, 0);
    EXPECT_EQ(quiet.loginCalls, 0);
    EXPECT_EQ(quiet.splashCalls, 0);
    ASSERT_EQ(boxes.Shown().size(), boxesBefore + 1);
    EXPECT_EQ(boxes.Shown().back().Icon(), static_cast<UINT>(MB_ICONERROR));
    EXPECT_EQ(boxes.Shown().back().text, Text(kStrUserDbFailed)) << "the module's text";
    _PWDTBL registry{};
    EXPECT_EQ(AdmGet(&registry), 0) << "nothing written to the registry";
    EXPECT_EQ(untouched.Size(), 0u);
    EXPECT_FALSE(Trusts(u"NBAdmin.exe", GetCurrentProcessId()));
    holder.reset();
    if (!removed) {
      EXPECT_EQ(CMdb(kUserDb, true).GetCountPwd(), 0) << "nothing written to the database";
    }
  }
}

TEST_F(StartupTest, ACancelledLoginEndsWithoutTraces) {
  CMdb users(kUserDb, false);
  _PWDTBL account = Account(u"alice", 0);
  ASSERT_TRUE(users.AddPwd(&account));
  host.login = [](_PWDTBL*, int*, CMdb*) { return 0; };
  ConsoleSession session(profile, host, TestStrings());
  EXPECT_EQ(Start(session), StartOutcome::kLoginCancelled);
  EXPECT_EQ(host.splashCalls, 0);
  EXPECT_EQ(profile.Size(), 0u);
  EXPECT_FALSE(Trusts(u"NBAdmin.exe", GetCurrentProcessId()));
}

TEST_F(StartupTest, AMissingDriverFileIsShownWithItsCode) {
  std::filesystem::remove(driverFile);
  ConsoleSession session(profile, host, Builtin);
  EXPECT_EQ(Start(session), StartOutcome::kVersionFailed);
  ASSERT_EQ(boxes.Shown().size(), 1u);
  EXPECT_EQ(boxes.Shown()[0].text, u"Invalid version.(code=2)");
  EXPECT_EQ(boxes.Shown()[0].caption, Text(kStrTitle));
  EXPECT_EQ(boxes.Shown()[0].Icon(), static_cast<UINT>(MB_ICONERROR));
  EXPECT_EQ(host.loginCalls + host.firstAdministratorCalls, 0);
  EXPECT_FALSE(Trusts(u"NBAdmin.exe", GetCurrentProcessId()));
}

TEST_F(StartupTest, WithoutTheServiceTheConsoleEnds) {
  CloseHandle(serviceMutex);
  serviceMutex = nullptr;
  ConsoleSession session(profile, host, TestStrings());
  EXPECT_EQ(Start(session), StartOutcome::kServiceNotRunning);
  ASSERT_EQ(boxes.Shown().size(), 1u);
  EXPECT_EQ(boxes.Shown()[0].text, Text(kStrServiceNotRunning));
  EXPECT_FALSE(Trusts(u"NBAdmin.exe", GetCurrentProcessId()));
}

TEST_F(StartupTest, AnotherLiveConsoleIsBroughtForward) {
  Child other;
  ASSERT_GT(other.pid(), 0u);
  Register(u"sleep.exe", other.pid());
  ConsoleSession session(profile, host, TestStrings());
  EXPECT_EQ(Start(session, u"C:\\Program Files\\Nimbra\\sleep"), StartOutcome::kOtherConsole);
  EXPECT_EQ(host.broughtForward, std::vector<std::u16string>{Text(kStrTitle)});
  EXPECT_TRUE(boxes.Shown().empty()) << "no message";
  EXPECT_EQ(host.loginCalls + host.firstAdministratorCalls, 0);
  EXPECT_TRUE(Trusts(u"sleep.exe", other.pid()));
  EXPECT_FALSE(Trusts(u"sleep.exe", GetCurrentProcessId()));
}

// Registrations of consoles that ended (also one whose id another program now has) do not
// block the start and are removed.
TEST_F(StartupTest, RegistrationsLeftBehindAreRemoved) {
  Child ended;
  ASSERT_GT(ended.pid(), 0u);
  DWORD deadPid = ended.pid();
  ended.End();
  Register(u"SLEEP.EXE", deadPid);
  DWORD otherProgram = static_cast<DWORD>(getppid());
  Register(u"sleep.exe", otherProgram);
  CMdb users(kUserDb, false);
  _PWDTBL account = Account(u"alice", 0);
  ASSERT_TRUE(users.AddPwd(&account));
  host.login = [](_PWDTBL* entered, int*, CMdb* db) {
    *entered = Account(u"alice", 0);
    return db->CheckPwd(entered) ? 1 : 0;
  };
  ConsoleSession session(profile, host, TestStrings());
  EXPECT_EQ(Start(session, u"C:\\x\\sleep"), StartOutcome::kStarted);
  EXPECT_FALSE(Trusts(u"SLEEP.EXE", deadPid));
  EXPECT_FALSE(Trusts(u"sleep.exe", otherProgram));
  EXPECT_TRUE(Trusts(u"sleep.exe", GetCurrentProcessId()));
  EXPECT_TRUE(host.broughtForward.empty());
}

TEST_F(StartupTest, ExitAsksAndSavesThePlacementOnlyOnYes) {
  CMdb users(kUserDb, false);
  _PWDTBL account = Account(u"alice", 0);
  ASSERT_TRUE(users.AddPwd(&account));
  host.login = [](_PWDTBL* entered, int*, CMdb* db) {
    *entered = Account(u"alice", 0);
    return db->CheckPwd(entered) ? 1 : 0;
  };
  ConsoleSession session(profile, host, TestStrings());
  ASSERT_EQ(Start(session), StartOutcome::kStarted);
  EXPECT_FALSE(session.Administrator());

  boxes.Answer(IDNO);
  EXPECT_FALSE(session.Close(kShowNormal, Rect{10, 20, 700, 500}));
  ASSERT_EQ(boxes.Shown().size(), 1u);
  EXPECT_EQ(boxes.Shown()[0].text, Text(kStrConfirmExit));
  EXPECT_EQ(boxes.Shown()[0].Buttons(), static_cast<UINT>(MB_YESNO));
  EXPECT_EQ(boxes.Shown()[0].Icon(), static_cast<UINT>(MB_ICONQUESTION));
  EXPECT_FALSE(profile.Has(u"Frame", u"Status"));
  EXPECT_TRUE(session.Registered());
  EXPECT_TRUE(Trusts(u"NBAdmin.exe", GetCurrentProcessId()));

  boxes.Answer(IDYES);
  EXPECT_TRUE(session.Close(kShowMaximized, Rect{10, 20, 700, 500}));
  EXPECT_EQ(profile.GetInt(u"Frame", u"Status", -1), kShowMaximized);
  EXPECT_EQ(profile.GetInt(u"Frame", u"Left", -1), 10);
  EXPECT_EQ(profile.GetInt(u"Frame", u"Top", -1), 20);
  EXPECT_EQ(profile.GetInt(u"Frame", u"Right", -1), 700);
  EXPECT_EQ(profile.GetInt(u"Frame", u"Bottom", -1), 500);
  EXPECT_FALSE(session.Registered());
  EXPECT_FALSE(Trusts(u"NBAdmin.exe", GetCurrentProcessId()));
}

}  // namespace
}  // namespace core_test
