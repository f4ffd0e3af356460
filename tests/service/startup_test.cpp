// The service's start-up against an in-process machine with the real drivers: loading the
// drivers, the default folder, the own trusted registration and the stored locks.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include <gdbm.h>

#include "NBUtil.h"
#include "nb/text.h"
#include "nb/win/host_path.h"
#include "nbclient.h"
#include "service_machine.h"

namespace service_test {
namespace {

using Lines = std::vector<std::string>;

// How the drivers stand before the start-up, and the driver lines it writes.
struct DriverCase {
  const char* name;
  bool preloaded;     // both drivers loaded before the start
  bool filterFile;    // nbfs36.sys in the default folder
  bool started;
  Lines lines;
};
void PrintTo(const DriverCase& value, std::ostream* out) { *out << value.name; }

class DriverLoading : public ServiceTest, public ::testing::WithParamInterface<DriverCase> {};

TEST_P(DriverLoading, WritesItsAttempts) {
  const DriverCase& param = GetParam();
  if (param.preloaded) {
    ASSERT_TRUE(machine.LoadNamedDriver(u"nbfs36"));
    ASSERT_TRUE(machine.LoadNamedDriver(u"nbdv15"));
  }
  if (!param.filterFile) std::filesystem::remove(machine.DefaultFolder() / "nbfs36.sys");
  EXPECT_EQ(Startup(), param.started);
  EXPECT_EQ(LogOf({"]Driver", "Load failure"}), param.lines);
  int loads = 0;
  for (const std::string& line : param.lines) loads += line.find("Loading") != std::string::npos;
  EXPECT_EQ(installer.calls, loads);
}

Lines MissingFilterLines() {
  Lines lines;
  for (int attempt = 0; attempt < 5; ++attempt) {
    lines.push_back("[0]Driver device(nbfscntl36) Checking .....(" + std::to_string(attempt) + ")");
    lines.push_back("[0]Driver(nbfs36) Loading .....(" + std::to_string(attempt) + ")");
  }
  lines.push_back("Driver(nbfs36) Load failure !!!");
  return lines;
}

INSTANTIATE_TEST_SUITE_P(
    Service, DriverLoading,
    ::testing::Values(
        DriverCase{"AlreadyLoaded", true, true, true,
                   {"[0]Driver device(nbfscntl36) Checking .....(0)", "[1]Driver device(nbdvCntl15) Checking .....(0)"}},
        DriverCase{"LoadedOnFirstAttempt", false, true, true,
                   {"[0]Driver device(nbfscntl36) Checking .....(0)", "[0]Driver(nbfs36) Loading .....(0)",
                    "[0]Driver device(nbfscntl36) Checking .....(1)", "[1]Driver device(nbdvCntl15) Checking .....(0)",
                    "[1]Driver(nbdv15) Loading .....(0)", "[1]Driver device(nbdvCntl15) Checking .....(1)"}},
        DriverCase{"FilterFileMissing", false, false, false, MissingFilterLines()}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ServiceTest, StepsAreNumberedAndTheDefaultFolderIsLocked) {
  ASSERT_TRUE(Startup());
  EXPECT_EQ(LogOf({"1:Check Mutex", "2:Create Driver Event", "3:Loading Driver", "4:get information default",
                   "5:get lock folder", "6:check default", "7:Register Process", "8:Get DB"}),
            (Lines{"1:Check Mutex ....", "2:Create Driver Event ...", "3:Loading Driver ...",
                   "4:get information default folder ", "5:get lock folder information from kernel",
                   "6:check default folder", "7:Register Process", "8:Get DB Information"}));
  EXPECT_TRUE(InDriver(u'C', u"\\Windows\\Application Data\\NB"));
  EXPECT_EQ(CheckLock(), 1) << "the service mutex exists";
  // A second start-up finds the folder locked and does not lock it again.
  ASSERT_TRUE(Startup());
  EXPECT_EQ(LogCount("Default Folder Locking .. "), 1u);
  EXPECT_EQ(LogCount("Default Folder Locked.. "), 2u);
}

// The default folder is known by its drive too: the same path locked on another drive
// is another lock.
TEST_F(ServiceTest, TheDefaultFolderPathOnAnotherDriveIsNotTheDefaultFolder) {
  ASSERT_TRUE(machine.LoadNamedDriver(u"nbfs36"));
  machine.MakeFolder('D', "\\Windows\\Application Data\\NB");
  ASSERT_EQ(LockFolder(u'D', u"\\Windows\\Application Data\\NB", 1, 0), 0);
  ASSERT_TRUE(Startup());
  EXPECT_EQ(LogCount("Default Folder Locking .. "), 1u);
  EXPECT_TRUE(InDriver(u'C', u"\\Windows\\Application Data\\NB"));
}

// Stored locks are applied when the driver holds only the default folder, and left alone
// when it holds more (the driver stayed loaded while the service restarted).
TEST_F(ServiceTest, StoredLocksAreAppliedUnlessTheDriverHoldsOthers) {
  machine.MakeFolder('D', "\\Docs");
  machine.MakeFolder('C', "\\Data");
  Store(FolderLock(u'D', u"\\Docs", kSerialD));
  ASSERT_TRUE(Startup());  // K = 0
  EXPECT_TRUE(InDriver(u'D', u"\\Docs"));
  EXPECT_EQ(LogCount("Locking folder(D:\\Docs)"), 1u);

  ASSERT_EQ(UnlockFolder(u'D', u"\\Docs"), 0);
  ASSERT_TRUE(Startup());  // K = 1: the default folder only
  EXPECT_TRUE(InDriver(u'D', u"\\Docs"));
  EXPECT_EQ(LogCount("Locking folder(D:\\Docs)"), 2u);

  ASSERT_EQ(UnlockFolder(u'D', u"\\Docs"), 0);
  ASSERT_EQ(LockFolder(u'C', u"\\Data", 1, 0), 0);
  size_t reads = LogCount("Get DB Information");
  ASSERT_TRUE(Startup());  // K = 2: no store access
  EXPECT_FALSE(InDriver(u'D', u"\\Docs"));
  EXPECT_EQ(LogCount("Get DB Information"), reads);
}

TEST_F(ServiceTest, StoredLocksFollowTheirVolumeAndKeepTheirState) {
  machine.MakeFolder('E', "\\Media");
  machine.MakeFolder('D', "\\Paused");
  machine.MakeFolder('D', "\\Waiting");
  // Locked on E: while the medium was under F:; a paused lock; one never started.
  Store(FolderLock(u'F', u"\\Media", kSerialE));
  Store(FolderLock(u'D', u"\\Paused", kSerialD, LCK_STATUS_PAUSED));
  Store(FolderLock(u'D', u"\\Waiting", kSerialD, LCK_STATUS_NOT_STARTED));
  // A medium that is not inserted.
  Store(FolderLock(u'G', u"\\Away", 0x12345678));
  ASSERT_TRUE(Startup());

  EXPECT_TRUE(InDriver(u'E', u"\\Media"));
  EXPECT_TRUE(InDriver(u'D', u"\\Paused"));
  EXPECT_TRUE(InDriver(u'D', u"\\Waiting"));
  EXPECT_EQ(LogOf({"Locking folder("}).size(), 3u) << "the absent medium is skipped silently";
  for (const _LCK_INFORMAION& lock : Stored()) {
    std::u16string path(lock.path);
    if (path == u"\\Media") {
      EXPECT_EQ(lock.drive, u'E') << "the letter is corrected in the store";
    } else if (path == u"\\Paused") {
      EXPECT_EQ(lock.status, LCK_STATUS_LOCKED);
    } else if (path == u"\\Waiting") {
      EXPECT_EQ(lock.status, LCK_STATUS_NOT_STARTED);
    } else {
      EXPECT_EQ(lock.drive, u'G');
    }
  }
}

TEST_F(ServiceTest, StaleServiceRegistrationsAreReplaced) {
  ASSERT_TRUE(machine.LoadNamedDriver(u"nbfs36"));
  ASSERT_EQ(NB_RegisterGlobalProcess("NBSvc.exe", 111, 2), 0);
  ASSERT_EQ(NB_RegisterGlobalProcess("nbsvc.EXE", 222, 2), 0);
  ASSERT_EQ(NB_RegisterGlobalProcess("other.exe", 333, 1), 0);
  ASSERT_TRUE(Startup());
  CVAULTObj vault;
  int count = vault.ProcGlobalCount(false);
  std::vector<_LCK_PROC_INFORMATION> registered(static_cast<size_t>(count));
  ASSERT_TRUE(vault.ProcGlobalGetInformation(registered.data(), count, false));
  std::vector<std::pair<std::string, DWORD>> seen;
  for (const auto& entry : registered) seen.emplace_back(nb::text::Utf16ToUtf8(entry.procName), entry.pid);
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::pair<std::string, DWORD>>{{"NBSvc.exe", kServiceId}, {"other.exe", 333}}));
}

// A lock that cannot be applied withdraws only a device registration it made itself.
TEST_F(ServiceTest, AFailedLockKeepsARegistrationOthersNeed) {
  ASSERT_TRUE(machine.LoadNamedDriver(u"nbdv15"));
  ASSERT_EQ(NBDV_AddDevice(u'E', kSerialE), 0);
  Store(FolderLock(u'E', u"\\Missing", kSerialE));  // no such folder
  ASSERT_TRUE(Startup());
  EXPECT_EQ(LogCount("Locking folder failure(E:\\Missing)"), 1u);
  CVAULTObj vault;
  _DRIVESERIAL added{};
  ASSERT_TRUE(vault.GetAddedDevice(&added, false));
  ASSERT_EQ(added.count, 1);
  EXPECT_EQ(added.volumeSerial[0], kSerialE);

  // Made by the start-up itself, it is withdrawn.
  ASSERT_EQ(NBDV_DeleteDevice(u'E', kSerialE), 0);
  ASSERT_TRUE(Startup());
  ASSERT_TRUE(vault.GetAddedDevice(&added, false));
  EXPECT_EQ(added.count, 0);
}

// Another process holding the lock database as a writer for a moment: the read is
// retried and the stored locks still come; held for good, the failure is logged and the
// start-up goes on.
class HeldStore : public ServiceTest {
 protected:
  // Another process holding the lock database open for writing, until it is killed.
  pid_t HoldStore() {
    std::string file = *nb::win::HostPathOf(nb::text::Utf16ToUtf8(kLockDb));
    int ready[2];
    EXPECT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
      GDBM_FILE db = gdbm_open(file.c_str(), 1024, GDBM_WRITER, 0664, nullptr);
      char byte = db ? 'y' : 'n';
      (void)!write(ready[1], &byte, 1);
      for (;;) pause();
    }
    char byte = 0;
    EXPECT_EQ(read(ready[0], &byte, 1), 1);
    EXPECT_EQ(byte, 'y');
    close(ready[0]);
    close(ready[1]);
    return child;
  }
  static void Release(pid_t child) {
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
  }
};

// The hold ends once the service has met it (a hold of fixed length could end before a slow
// start-up reaches the store), and the next attempt reads the store.
TEST_F(HeldStore, AShortHoldIsWaitedFor) {
  machine.MakeFolder('D', "\\Docs");
  Store(FolderLock(u'D', u"\\Docs", kSerialD));
  pid_t child = HoldStore();
  bool started = false;
  std::thread startup([&] { started = Startup(); });
  bool met = WaitForLog("cannot be read");
  Release(child);
  startup.join();
  ASSERT_TRUE(met) << "the service met the held store";
  EXPECT_TRUE(started);
  EXPECT_TRUE(InDriver(u'D', u"\\Docs"));
  EXPECT_LT(LogCount("cannot be read"), static_cast<size_t>(STORE_READ_ATTEMPTS));
  EXPECT_EQ(LogCount("read failure !!!"), 0u);
}

TEST_F(HeldStore, AHoldThatLastsIsLoggedNotTakenAsEmpty) {
  machine.MakeFolder('D', "\\Docs");
  Store(FolderLock(u'D', u"\\Docs", kSerialD));
  pid_t child = HoldStore();
  ASSERT_TRUE(Startup());
  Release(child);
  EXPECT_EQ(LogCount("cannot be read"), static_cast<size_t>(STORE_READ_ATTEMPTS));
  EXPECT_EQ(LogCount("read failure !!!"), 1u);
  EXPECT_FALSE(InDriver(u'D', u"\\Docs"));
}

}  // namespace
}  // namespace service_test
