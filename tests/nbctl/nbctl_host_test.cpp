// nbctl as a real process against a real machine: nbhost on a temporary root with the
// lock store, the drivers and the service put in place as scripts/run does. One session
// walks through the first administrator, a second account and the lock commands, checking
// `list --json`, the lock database and (with FUSE) the mount; refused commands change
// nothing.
#include <gdbm.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <windows.h>

#include "VAULTSdk.h"
#include "json_reader.h"
#include "shell_line.h"

namespace {

namespace fs = std::filesystem;

using nb_host_test::Outcome;
using nb_host_test::RunLine;
using nbctl_test::JsonReader;
using nbctl_test::JsonValue;

// A lock as the lock database holds it.
struct StoredLock {
  std::u16string path;
  int mode, timeout, status;
  std::u16string owner;
  bool operator==(const StoredLock&) const = default;
};

std::u16string Field(const char16_t* field, size_t units) {
  size_t length = 0;
  while (length < units && field[length]) ++length;
  return std::u16string(field, length);
}

std::string Quote(const std::string& text) { return "'" + text + "'"; }

class NbctlHost : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string pattern = (fs::temp_directory_path() / "nbctl-host-XXXXXX").string();
    root = mkdtemp(pattern.data());
    ready = Boot();
  }
  static void TearDownTestSuite() {
    Host("stop");
    std::ifstream mounts("/proc/self/mountinfo");
    for (std::string line; std::getline(mounts, line);) {
      std::istringstream fields(line);
      std::string skip, point;
      fields >> skip >> skip >> skip >> skip >> point;
      if (point.starts_with(root + "/")) umount2(point.c_str(), MNT_DETACH);
    }
    fs::remove_all(root);
  }
  void SetUp() override { ASSERT_TRUE(ready) << "the machine did not come up"; }

  static Outcome Host(const std::string& arguments) {
    return RunLine(std::string(NB_HOST_PROGRAM) + " " + arguments + " --root " + root);
  }
  static Outcome Run(const std::string& program, const std::string& arguments) {
    return RunLine("NB_ROOT=" + root + " " + program + " " + arguments);
  }
  // nbctl logged in as `user` with `password` (and further lines) on standard input.
  static Outcome Nbctl(const std::string& user, const std::string& input, const std::string& arguments) {
    return RunLine("printf " + Quote(input) + " | NB_ROOT=" + root + " HOME=" + root + " " + NB_CTL_PROGRAM +
                   " --user " + user + " --password-stdin " + arguments);
  }
  // Only standard output: the JSON must parse without what nbctl says on standard error.
  static std::string NbctlOutput(const std::string& user, const std::string& password, const std::string& arguments) {
    return RunLine("printf " + Quote(password + "\\n") + " | NB_ROOT=" + root + " HOME=" + root + " " +
                   NB_CTL_PROGRAM + " --user " + user + " --password-stdin " + arguments + " 2>/dev/null")
        .output;
  }

  static bool Boot() {
    if (Host("start").exitCode != 0) return false;
    if (Run(NB_INSTALL_PROGRAM, std::string(NBFS36_IMAGE) + " " + NBDV15_IMAGE).exitCode != 0) return false;
    if (Run(NB_SERVICE_PROGRAM, "/i").exitCode != 0 || Run(NB_SERVICE_PROGRAM, "/c").exitCode != 0) return false;
    bool running = false;
    for (int i = 0; i < 100 && !running; ++i) {
      running = Run(NB_SERVICE_PROGRAM, "/t").output.find("The service is running.") != std::string::npos;
      if (!running) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::smatch match;
    std::string list = Host("volume list").output;
    if (!std::regex_search(list, match, std::regex("C:  fixed     \\S+  present (/\\S+)(  mounted at (/\\S+))?\n"))) {
      return false;
    }
    backing = match[1];
    mount = match[3];
    // The service locks the default folder once it runs; the store is ready then.
    for (int i = 0; i < 100; ++i) {
      if (Run(NB_CTL_PROGRAM, "status").output.find("Locks:    1") != std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return running;
  }

  // The lock database, read from the drive's backing folder (the default folder is hidden
  // on the drive itself).
  static std::vector<StoredLock> StoredLocks() {
    std::vector<StoredLock> locks;
    std::string file = backing + "/Windows/Application Data/NB/lock";
    GDBM_FILE db = gdbm_open(file.c_str(), 1024, GDBM_READER, 0, nullptr);
    if (!db) return locks;
    for (datum key = gdbm_firstkey(db); key.dptr;) {
      datum content = gdbm_fetch(db, key);
      if (content.dptr && content.dsize >= static_cast<int>(sizeof(_LCK_INFORMAION))) {
        _LCK_INFORMAION lock;
        std::memcpy(&lock, content.dptr, sizeof lock);
        locks.push_back({Field(lock.path, LCK_PATH_UNITS), lock.mode, lock.timeout, lock.status,
                         Field(lock.owner, LCK_OWNER_UNITS)});
      }
      free(content.dptr);
      datum next = gdbm_nextkey(db, key);
      free(key.dptr);
      key = next;
    }
    gdbm_close(db);
    return locks;
  }

  // The admin's locks as `list --json` gives them; fails the test when it is not JSON.
  static std::vector<JsonValue> ListJson(const std::string& user = "admin", const std::string& password = "adminpw") {
    std::string text = NbctlOutput(user, password, "list --json");
    std::optional<JsonValue> parsed = JsonReader::Parse(text);
    EXPECT_TRUE(parsed && parsed->kind == JsonValue::kArray) << text;
    return parsed ? parsed->items : std::vector<JsonValue>{};
  }
  static std::string Member(const JsonValue& row, const char* name) {
    const JsonValue* value = row.Member(name);
    return value ? value->text : "<missing>";
  }

  static std::string root;
  static std::string backing;
  static std::string mount;
  static bool ready;
};

std::string NbctlHost::root;
std::string NbctlHost::backing;
std::string NbctlHost::mount;
bool NbctlHost::ready = false;

TEST_F(NbctlHost, ASessionOfLockCommandsKeepsListStoreAndMountInStep) {
  Outcome status = Run(NB_CTL_PROGRAM, "status");
  EXPECT_EQ(status.exitCode, 0) << status.output;
  EXPECT_NE(status.output.find("Service:  running"), std::string::npos) << status.output;

  // No account yet: the first run creates the administrator.
  Outcome first = Nbctl("admin", "adminpw\\n", "list");
  ASSERT_EQ(first.exitCode, 0) << first.output;
  EXPECT_NE(first.output.find("created the administrator account admin"), std::string::npos) << first.output;
  Outcome added = Nbctl("admin", "adminpw\\nbobpw\\n", "account add bob --comment 'second one'");
  ASSERT_EQ(added.exitCode, 0) << added.output;
  std::optional<JsonValue> accounts = JsonReader::Parse(NbctlOutput("admin", "adminpw", "account list --json"));
  ASSERT_TRUE(accounts);
  EXPECT_EQ(accounts->items.size(), 2u);

  fs::create_directories(backing + "/Data/Secret/Inner");
  fs::create_directories(backing + "/Data/Open");
  Outcome locked = Nbctl("admin", "adminpw\\n", "lock 'C:\\Data\\Secret' --mode hidden");
  ASSERT_EQ(locked.exitCode, 0) << locked.output;

  std::vector<JsonValue> rows = ListJson();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].Keys(),
            (std::vector<std::string>{"name", "drive", "path", "type", "mode", "timeout", "status", "owner", "serial"}));
  EXPECT_EQ(Member(rows[0], "name"), "C:\\Data\\Secret");
  EXPECT_EQ(Member(rows[0], "path"), "\\Data\\Secret");
  EXPECT_EQ(Member(rows[0], "type"), "folder");
  EXPECT_EQ(Member(rows[0], "mode"), "hidden");
  EXPECT_EQ(Member(rows[0], "status"), "running");
  EXPECT_EQ(Member(rows[0], "owner"), "admin");
  EXPECT_EQ(StoredLocks(), (std::vector<StoredLock>{{u"\\Data\\Secret", 1, 0, 1, u"admin"}}));

  if (mount.empty()) {
    std::cout << "[  SKIPPED ] the listing through the mount: drive C: is not mounted (no FUSE here)\n";
  } else {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(mount + "/Data")) names.push_back(entry.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"Open"}) << "the hidden folder is gone from the mount's listing";
  }

  // A process trusted on the folder reaches it; withdrawn, it does not.
  std::string self = std::to_string(getpid());
  Outcome trusted = Nbctl("admin", "adminpw\\n", "trust add " + self + " --read --folder 'C:\\Data\\Secret'");
  EXPECT_EQ(trusted.exitCode, 0) << trusted.output;
  std::optional<JsonValue> entries =
      JsonReader::Parse(NbctlOutput("admin", "adminpw", "trust list --json --folder 'C:\\Data\\Secret'"));
  ASSERT_TRUE(entries && entries->items.size() == 1u);
  EXPECT_EQ(Member(entries->items[0], "pid"), self);
  EXPECT_EQ(Member(entries->items[0], "access"), "read");
  if (!mount.empty()) {
    EXPECT_TRUE(fs::is_directory(mount + "/Data/Secret")) << "trusted, the test reaches it";
  }
  EXPECT_EQ(Nbctl("admin", "adminpw\\n", "trust remove " + self + " --folder 'C:\\Data\\Secret'").exitCode, 0);
  if (!mount.empty()) {
    EXPECT_FALSE(fs::exists(mount + "/Data/Secret")) << "withdrawn, it is hidden again";
  }
  EXPECT_EQ(Nbctl("admin", "adminpw\\n", "trust remove " + self + " --folder 'C:\\Data\\Secret'").exitCode, 5);

  // A second account sees none of the administrator's locks and may not see every owner's.
  EXPECT_TRUE(ListJson("bob", "bobpw").empty());
  EXPECT_EQ(Nbctl("bob", "bobpw\\n", "list --all").exitCode, 4);

  // Round trips, each visible in the list and in the store. The Linux path under the
  // mount names the same lock where there is one.
  std::string target = mount.empty() ? "'C:\\Data\\Secret'" : mount + "/Data/Secret";
  struct Step {
    std::string arguments;
    const char* field;
    const char* value;
    StoredLock stored;
  };
  const Step steps[] = {
      {"pause " + target, "status", "paused", {u"\\Data\\Secret", 1, 0, 0, u"admin"}},
      {"resume " + target, "status", "running", {u"\\Data\\Secret", 1, 0, 1, u"admin"}},
      {"mode " + target + " readonly", "mode", "readonly", {u"\\Data\\Secret", 4, 0, 1, u"admin"}},
      {"timeout " + target + " 5", "timeout", "5", {u"\\Data\\Secret", 4, 5, 1, u"admin"}},
  };
  for (const Step& step : steps) {
    Outcome done = Nbctl("admin", "adminpw\\n", step.arguments);
    EXPECT_EQ(done.exitCode, 0) << step.arguments << ": " << done.output;
    rows = ListJson();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(Member(rows[0], step.field), step.value) << step.arguments;
    EXPECT_EQ(StoredLocks(), std::vector<StoredLock>{step.stored}) << step.arguments;
  }

  // Refused: nothing changes, in the list or in the store.
  std::vector<StoredLock> before = StoredLocks();
  struct Refusal {
    std::string user, input, arguments;
    int exitCode;
  };
  const Refusal refusals[] = {
      {"admin", "adminpw\\n", "lock 'C:\\Program Files'", 5},            // a protected folder
      {"admin", "adminpw\\n", "lock 'C:\\Data'", 5},                     // holds a lock
      {"admin", "adminpw\\n", "lock 'C:\\Data\\Secret\\Inner'", 5},      // inside a lock
      {"admin", "adminpw\\n", "lock 'C:\\Data\\Missing'", 5},            // no such folder
      {"admin", "wrong\\n", "lock 'C:\\Data\\Open'", 3},                 // wrong password
      {"nobody", "x\\n", "list", 3},                                     // unknown account
      {"bob", "bobpw\\n", "account add carl", 4},                        // not the administrator
      {"bob", "bobpw\\n", "unlock 'C:\\Data\\Secret'", 5},               // not bob's lock
      {"admin", "adminpw\\n", "account delete admin", 5},                // the logged-in account
      {"admin", "adminpw\\n", "lock 'C:\\Data\\Open' --timeout 10001", 2},
  };
  for (const Refusal& refusal : refusals) {
    Outcome refused = Nbctl(refusal.user, refusal.input, refusal.arguments);
    EXPECT_EQ(refused.exitCode, refusal.exitCode) << refusal.arguments << ": " << refused.output;
    EXPECT_NE(refused.output.find("nbctl: "), std::string::npos) << "one line says why: " << refused.output;
    EXPECT_EQ(StoredLocks(), before) << refusal.arguments;
  }
  EXPECT_EQ(ListJson().size(), 1u);

  // New locks take the stored defaults.
  EXPECT_EQ(Nbctl("bob", "bobpw\\n", "defaults readonly 7").exitCode, 0);
  EXPECT_EQ(NbctlOutput("bob", "bobpw", "defaults"), "readonly 7\n");
  Outcome open = Nbctl("admin", "adminpw\\n", "lock 'C:\\Data\\Open'");
  EXPECT_EQ(open.exitCode, 0) << open.output;
  rows = ListJson();
  ASSERT_EQ(rows.size(), 2u);
  for (const JsonValue& row : rows) {
    if (Member(row, "path") != "\\Data\\Open") continue;
    EXPECT_EQ(Member(row, "mode"), "readonly");
    EXPECT_EQ(Member(row, "timeout"), "7");
  }
  EXPECT_EQ(Nbctl("admin", "adminpw\\n", "unlock 'C:\\Data\\Open'").exitCode, 0);

  Outcome unlocked = Nbctl("admin", "adminpw\\n", "unlock " + target);
  EXPECT_EQ(unlocked.exitCode, 0) << unlocked.output;
  EXPECT_TRUE(ListJson().empty());
  EXPECT_TRUE(StoredLocks().empty());
  if (!mount.empty()) {
    EXPECT_TRUE(fs::is_directory(mount + "/Data/Secret")) << "unlocked, the folder is back";
  }

  // A user database that cannot be opened is an error, never an empty one that would let
  // anybody become the first administrator.
  std::string users = backing + "/Windows/Application Data/NB/user";
  fs::rename(users, users + ".kept");
  { std::ofstream(users) << "not a database"; }
  Outcome broken = Nbctl("intruder", "pw\\n", "list");
  fs::rename(users + ".kept", users);
  EXPECT_EQ(broken.exitCode, 6) << broken.output;
  EXPECT_NE(broken.output.find("the user database"), std::string::npos) << broken.output;
  EXPECT_EQ(broken.output.find("administrator"), std::string::npos) << "no first-run path: " << broken.output;
  EXPECT_EQ(Nbctl("intruder", "pw\\n", "list").exitCode, 3) << "no account was made";
}

TEST_F(NbctlHost, WithoutAHostEverythingButHelpEndsWithServiceNotRunning) {
  std::string elsewhere = root + "/no-machine";
  fs::create_directories(elsewhere);
  Outcome status = RunLine("NB_ROOT=" + elsewhere + " " + NB_CTL_PROGRAM + " status");
  EXPECT_EQ(status.exitCode, 1) << status.output;
  Outcome list = RunLine("NB_ROOT=" + elsewhere + " " + NB_CTL_PROGRAM + " --user admin list </dev/null");
  EXPECT_EQ(list.exitCode, 1) << list.output;
  EXPECT_EQ(RunLine(std::string(NB_CTL_PROGRAM) + " lock").exitCode, 2);
  EXPECT_EQ(RunLine(std::string(NB_CTL_PROGRAM) + " --help").exitCode, 0);
}

}  // namespace
