// The service's notification threads against an in-process machine with the real drivers:
// removable media taking their locks to a new letter, paused locks, pulses with nothing
// to do, expired idle time-outs, and the threads' own start and end.
#include <chrono>

#include "NBUtil.h"
#include "driver.h"
#include "nb/kernel/clock.h"
#include "nb/resource_guard.h"
#include "nbclient.h"
#include "service_machine.h"

namespace service_test {
namespace {

using Lines = std::vector<std::string>;

class Notifications : public ServiceTest {
 protected:
  // The console's notification event, made as a console would and cleared.
  HANDLE ConsoleEvent() {
    HANDLE event = nullptr;
    int error = 0;
    EXPECT_TRUE(CreateAdminEvent(&event, &error, false)) << error;
    return event;
  }
  // Makes a medium change and waits until its device pulse has been handled (the log counts
  // a handling more than before the change: a check of the counts alone passes while the
  // woken thread has not logged anything yet), every pulse so far has been handled and both
  // device threads wait again.
  template <class Change>
  void ChangeAndSettle(Change change) {
    size_t before = LogCount("Enabled Folder count=");
    ASSERT_EQ(change(), STATUS_SUCCESS);
    EXPECT_TRUE(WaitForLog("Enabled Folder count=", before + 1));
    EXPECT_TRUE(WaitUntilWaiting(u"Global\\NbfsDeviceNotifyEvent36"));
    EXPECT_TRUE(WaitUntilWaiting(u"Global\\NbdvDeviceNotifyEvent15"));
    EXPECT_TRUE(WaitForLog("Enabled Folder count=", LogCount("EventDevice(")));
  }
  // The lines of the device handlings since `mark` lines had been written.
  Lines HandlingSince(size_t mark) {
    Lines lines = LogOf({"EventDevice(", "AutoRun_", "Enabled Folder count="});
    return Lines(lines.begin() + static_cast<std::ptrdiff_t>(std::min(mark, lines.size())), lines.end());
  }
  size_t Mark() { return LogOf({"EventDevice(", "AutoRun_", "Enabled Folder count="}).size(); }
  // A paused entry of the driver.
  bool Paused(char letter, std::u16string_view path) {
    VolumeReference volume = FindVolume(Volumes(), static_cast<UCHAR>(letter));
    if (!volume) return false;
    nb::SharedLock guard(volume->lock);
    LockEntry* entry = FindEntry(volume, reinterpret_cast<const WCHAR*>(path.data()),
                                 static_cast<ULONG>(path.size() * sizeof(WCHAR)));
    return entry && entry->pause != 0;
  }
  ULONG Flags(char16_t drive, std::u16string_view path) {
    for (const _LCK_INFORMAION& lock : DriverLocks()) {
      if (lock.drive == drive && std::u16string_view(lock.path) == path) return static_cast<ULONG>(lock.mode);
    }
    return ~0u;
  }
  // Moves the medium of E: to F:.
  void MoveMediumToF() {
    ChangeAndSettle([&] { return machine.EjectMedium('E'); });
    ChangeAndSettle([&] { return machine.InsertMedium('F', kSerialE, machine.Folder('E')); });
  }
};

// The handling's lines of a medium whose lock came back under F:, among what one or two
// pulses (from both drivers) wrote.
bool Contains(const Lines& lines, const Lines& sequence) {
  return std::search(lines.begin(), lines.end(), sequence.begin(), sequence.end()) != lines.end();
}

TEST_F(Notifications, AMediumUnderANewLetterTakesItsLockAlong) {
  machine.MakeFolder('E', "\\Media");
  Store(FolderLock(u'E', u"\\Media", kSerialE));
  StartService();
  ASSERT_TRUE(InDriver(u'E', u"\\Media"));
  HANDLE console = ConsoleEvent();
  ChangeAndSettle([&] { return machine.EjectMedium('E'); });
  ResetEvent(console);
  size_t mark = Mark();
  ChangeAndSettle([&] { return machine.InsertMedium('F', kSerialE, machine.Folder('E')); });

  Lines lines = HandlingSince(mark);
  EXPECT_TRUE(Contains(lines, {"EventDevice(Global\\NbfsDeviceNotifyEvent36)", "AutoRun_GetMissingInfo count=1",
                               "AutoRun_FolderEnable(F:\\Media)", "Enabled Folder count=1"}) ||
              Contains(lines, {"EventDevice(Global\\NbdvDeviceNotifyEvent15)", "AutoRun_GetMissingInfo count=1",
                               "AutoRun_FolderEnable(F:\\Media)", "Enabled Folder count=1"}))
      << ::testing::PrintToString(lines);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "AutoRun_FolderEnable(F:\\Media)"), 1);
  EXPECT_TRUE(InDriver(u'F', u"\\Media"));
  EXPECT_FALSE(Paused('F', u"\\Media"));
  EXPECT_EQ(WaitForSingleObject(console, 0), WAIT_OBJECT_0) << "the console is told";
  CloseHandle(console);
}

TEST_F(Notifications, APausedStoredLockComesBackPaused) {
  machine.MakeFolder('E', "\\Media");
  Store(FolderLock(u'E', u"\\Media", kSerialE));
  StartService();
  // The console pauses the lock and stores it so.
  _LCK_INFORMAION paused = FolderLock(u'E', u"\\Media", kSerialE, LCK_STATUS_PAUSED);
  ASSERT_TRUE(CMdb(kLockDb, false).UpdateLock(&paused));
  size_t mark = Mark();
  MoveMediumToF();
  Lines lines = HandlingSince(mark);
  EXPECT_TRUE(Contains(lines, {"AutoRun_FolderEnable(F:\\Media)", "AutoRun_FolderPause(F:\\Media)",
                               "Enabled Folder count=1"}))
      << ::testing::PrintToString(lines);
  EXPECT_TRUE(Paused('F', u"\\Media"));
  ASSERT_EQ(Stored().size(), 1u);
  EXPECT_EQ(Stored()[0].status, LCK_STATUS_PAUSED);
}

// A stored lock that cannot be applied when its medium comes keeps its stored state: it
// is neither paused nor written back as not started.
TEST_F(Notifications, ALockThatCannotComeBackKeepsItsStoredState) {
  Store(FolderLock(u'E', u"\\Gone", kSerialE, LCK_STATUS_PAUSED));  // no such folder on the medium
  StartService();
  size_t mark = Mark();
  MoveMediumToF();
  Lines lines = HandlingSince(mark);
  EXPECT_GE(std::count(lines.begin(), lines.end(), "AutoRun_FolderEnable(F:\\Gone)"), 1)
      << ::testing::PrintToString(lines);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "AutoRun_FolderPause(F:\\Gone)"), 0);
  ASSERT_EQ(Stored().size(), 1u);
  EXPECT_EQ(Stored()[0].status, LCK_STATUS_PAUSED);
  EXPECT_FALSE(InDriver(u'F', u"\\Gone"));
}

// Two locks on the same path of two volumes are two locks: the removable one comes back
// on its medium while the fixed one stays.
TEST_F(Notifications, ALockOnTheSamePathOfAnotherVolumeIsNotTakenForIt) {
  machine.MakeFolder('C', "\\Data");
  machine.MakeFolder('E', "\\Data");
  Store(FolderLock(u'C', u"\\Data", kSerialC));
  Store(FolderLock(u'E', u"\\Data", kSerialE));
  StartService();
  ASSERT_TRUE(InDriver(u'C', u"\\Data"));
  ASSERT_TRUE(InDriver(u'E', u"\\Data"));
  MoveMediumToF();
  EXPECT_TRUE(InDriver(u'F', u"\\Data"));
  EXPECT_TRUE(InDriver(u'C', u"\\Data"));
}

TEST_F(Notifications, APulseWithEverythingAppliedChangesNothing) {
  machine.MakeFolder('D', "\\Docs");
  Store(FolderLock(u'D', u"\\Docs", kSerialD));
  StartService();
  std::vector<_LCK_INFORMAION> before = DriverLocks();
  HANDLE console = ConsoleEvent();
  size_t mark = Mark();
  std::filesystem::create_directories(machine.Folder('E').parent_path() / "G");
  ChangeAndSettle([&] { return machine.InsertMedium('G', 0x12345678, machine.Folder('E').parent_path() / "G"); });
  Lines lines = HandlingSince(mark);
  ASSERT_FALSE(lines.empty());
  for (const std::string& line : lines) {
    EXPECT_TRUE(line.starts_with("EventDevice(") || line == "AutoRun_GetMissingInfo count=0" ||
                line == "Enabled Folder count=0")
        << line;
  }
  EXPECT_EQ(DriverLocks().size(), before.size());
  EXPECT_EQ(WaitForSingleObject(console, 0), WAIT_OBJECT_0);
  CloseHandle(console);
}

TEST_F(Notifications, APulseWithAnEmptyStoreAsksTheDriverNothing) {
  StartService();
  size_t mark = Mark();
  ChangeAndSettle([&] { return machine.EjectMedium('E'); });
  Lines lines = HandlingSince(mark);
  ASSERT_FALSE(lines.empty());
  for (const std::string& line : lines) {
    EXPECT_TRUE(line.starts_with("EventDevice(") || line == "Enabled Folder count=0") << line;
  }
}

// A removable device registered for a medium that is gone, and used by no lock, is
// withdrawn at the next device pulse.
TEST_F(Notifications, AGoneDeviceNoLockNeedsIsWithdrawn) {
  machine.MakeFolder('D', "\\Docs");
  Store(FolderLock(u'D', u"\\Docs", kSerialD));
  StartService();
  ASSERT_EQ(NBDV_AddDevice(u'G', 0x0BADF00D), 0);
  ChangeAndSettle([&] { return machine.EjectMedium('E'); });
  CVAULTObj vault;
  _DRIVESERIAL added{};
  ASSERT_TRUE(vault.GetAddedDevice(&added, false));
  for (int i = 0; i < added.count; ++i) EXPECT_NE(added.volumeSerial[i], 0x0BADF00Du);
}

TEST_F(Notifications, ATimerPulseRelocksEveryExpiredLock) {
  machine.MakeFolder('D', "\\a");
  machine.MakeFolder('D', "\\b");
  StartService();
  ASSERT_EQ(LockFolder(u'D', u"\\a", 1, 60), 0);
  ASSERT_EQ(LockFolder(u'D', u"\\b", 1, 60), 0);
  ASSERT_TRUE(WaitUntilWaiting(u"Global\\NbfsTimerNotifyEvent36"));
  machine.Kernel().Clock().Tick(60);
  ASSERT_TRUE(WaitForLog("TimeOut Folder Count="));
  EXPECT_EQ(LogOf({"EventTimer(", "TimeOut Folder Count="}),
            (Lines{"EventTimer(Global\\NbfsTimerNotifyEvent36)", "TimeOut Folder Count=2"}));
  EXPECT_EQ(Flags(u'D', u"\\a"), NBFS_LOCK_NOACCESS);
  EXPECT_EQ(Flags(u'D', u"\\b"), NBFS_LOCK_NOACCESS);
}

// An expiry that no pulse reports (it came while the thread was busy) is found by the
// thread's periodic look at the table.
TEST_F(Notifications, AnExpiryWithoutAPulseIsRelockedByThePeriodicCheck) {
  machine.MakeFolder('D', "\\a");
  service->SetTimerCheckPeriod(50);
  StartService();
  {
    nb::kernel::ProcessScope scope(machine.ServiceProcess());
    ASSERT_EQ(NB_CloseEvent(), 0);  // no pulse reaches the service any more
  }
  ASSERT_EQ(LockFolder(u'D', u"\\a", 1, 60), 0);
  machine.Kernel().Clock().Tick(60);
  ASSERT_TRUE(WaitForLog("TimeOut Folder Count=1"));
  EXPECT_EQ(Flags(u'D', u"\\a"), NBFS_LOCK_NOACCESS);
}

// A pause withdraws the drivers' event registrations and a continue renews them; a
// shutdown leaves them.
TEST_F(Notifications, PauseSilencesTheDriversAndContinueBringsThemBack) {
  machine.MakeFolder('E', "\\Media");
  Store(FolderLock(u'E', u"\\Media", kSerialE));
  StartService();
  SetProcessService(service.get());
  nb::kernel::ProcessScope scope(machine.ServiceProcess());
  ServiceCallBackFn(5);
  ChangeAndSettle([&] { return machine.EjectMedium('E'); });
  size_t handled = LogCount("EventDevice(");
  EXPECT_GE(handled, 1u) << "a shutdown control keeps the registrations";

  ServiceCallBackFn(2);
  ASSERT_EQ(machine.InsertMedium('F', kSerialE, machine.Folder('E')), STATUS_SUCCESS);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(LogCount("EventDevice("), handled) << "paused: no pulse arrives";
  EXPECT_FALSE(InDriver(u'F', u"\\Media"));

  ServiceCallBackFn(3);
  ChangeAndSettle([&] { return machine.EjectMedium('F'); });
  ChangeAndSettle([&] { return machine.InsertMedium('F', kSerialE, machine.Folder('E')); });
  EXPECT_TRUE(InDriver(u'F', u"\\Media"));
  EXPECT_EQ(LogCount("ServiceCallBackFn"), 3u);
  SetProcessService(nullptr);
}

// The table is read again after re-locking, until no expired lock is left.
TEST(RelockExpired, ReadsAgainUntilNothingIsExpired) {
  _LCK_INFORMAION a = FolderLock(u'D', u"\\a", kSerialD, LCK_STATUS_LOCKED, NBFS_LOCK_EXPIRED);
  _LCK_INFORMAION b = FolderLock(u'D', u"\\b", kSerialD, LCK_STATUS_LOCKED, NBFS_LOCK_NOACCESS);
  std::vector<std::u16string> relocked;
  int reads = 0;
  int calls = RelockExpired(
      [&](std::vector<_LCK_INFORMAION>* table) {
        // \b expires after the first read.
        if (++reads == 2) b.mode = NBFS_LOCK_EXPIRED;
        *table = {a, b};
        return true;
      },
      [&](_LCK_INFORMAION* lock) {
        relocked.emplace_back(lock->path);
        (lock->path[1] == u'a' ? a : b).mode = NBFS_LOCK_NOACCESS;
        return true;
      });
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(relocked, (std::vector<std::u16string>{u"\\a", u"\\b"}));
  EXPECT_EQ(reads, 3);
}

TEST(RelockExpired, StopsWhenNothingCanBeRelockedOrThePassesRunOut) {
  _LCK_INFORMAION a = FolderLock(u'D', u"\\a", kSerialD, LCK_STATUS_LOCKED, NBFS_LOCK_EXPIRED);
  int reads = 0;
  auto table = [&](std::vector<_LCK_INFORMAION>* out) {
    ++reads;
    *out = {a};
    return true;
  };
  EXPECT_EQ(RelockExpired(table, [](_LCK_INFORMAION*) { return false; }), 1);
  EXPECT_EQ(reads, 1);
  reads = 0;
  // A lock that expires again at once, every time.
  EXPECT_EQ(RelockExpired(table, [](_LCK_INFORMAION*) { return true; }), TIMER_RELOCK_PASSES);
  EXPECT_EQ(reads, TIMER_RELOCK_PASSES);
}

TEST(FindStoredLock, MatchesPathIgnoringCaseOnTheSameVolume) {
  std::vector<_LCK_INFORMAION> list = {FolderLock(u'C', u"\\Data", kSerialC), FolderLock(u'E', u"\\Data", kSerialE)};
  _LCK_INFORMAION moved = FolderLock(u'F', u"\\DATA", kSerialE);
  EXPECT_EQ(FindStoredLock(&moved, list.data(), 2), 1);
  _LCK_INFORMAION other = FolderLock(u'C', u"\\Data", kSerialD);
  EXPECT_EQ(FindStoredLock(&other, list.data(), 2), -1);
  EXPECT_EQ(FindStoredLock(&moved, list.data(), 0), -1);
}

// A thread that cannot start: the started ones are ended before the service goes on.
TEST_F(ServiceTest, AThreadThatCannotStartEndsTheOthers) {
  launcher.failAt = 2;
  worker = std::thread([this] {
    nb::kernel::ProcessScope scope(machine.ServiceProcess());
    runResult = service->RunService();
  });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (runResult == -1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_NE(runResult, -1) << "RunService still waits for its threads";
  worker.join();
  EXPECT_EQ(runResult, 0);
  EXPECT_EQ(launcher.started, 2);
  EXPECT_EQ(LogCount("Thread(Global\\NbfsTimerNotifyEvent36) failure !!!"), 1u);
}

// A wait that keeps failing ends its thread after a few tries instead of spinning.
TEST_F(ServiceTest, AWaitThatKeepsFailingEndsItsThread) {
  nb::kernel::ProcessScope scope(machine.ServiceProcess());
  auto begin = std::chrono::steady_clock::now();
  service->EventWaitLoop(reinterpret_cast<HANDLE>(0x7ff0), u"Broken", NOTIFY_KIND_DEVICE);
  EXPECT_GE(std::chrono::steady_clock::now() - begin,
            std::chrono::milliseconds(WAIT_FAILURE_PAUSE_MS * (WAIT_FAILURE_LIMIT - 1)));
  EXPECT_EQ(LogCount("Waiting Event(Broken) failure"), 1u);
}

TEST_F(ServiceTest, RunServiceEndsItsRegistrationWhenTheThreadsEnd) {
  StartService();
  EXPECT_EQ(LogOf({"Thread starting("}),
            (Lines{"9:Thread starting(Global\\NbfsDeviceNotifyEvent36)",
                   "10:Thread starting(Global\\NbdvDeviceNotifyEvent15)",
                   "11:Thread starting(Global\\NbfsTimerNotifyEvent36)"}));
  EXPECT_EQ(StopService(), 1);
  CVAULTObj vault;
  EXPECT_EQ(vault.ProcGlobalCount(false), 0);
}

}  // namespace
}  // namespace service_test
