// The idle time-out timer with deterministic ticks: when open locks expire, which locks
// are counted, and the timer-notify pulses a waiting service thread sees.
#include <atomic>
#include <thread>

#include "nb/kernel/clock.h"
#include "nb/kernel/events.h"
#include "nb/kernel/pool.h"
#include "control_fixture.h"
#include "timer.h"

namespace {

class IdleTimerTest : public NbfsControlTest {
 protected:
  void SetUp() override {
    NbfsControlTest::SetUp();
    service = machine.Process("NBSvc.exe", 1000);
    nb::kernel::ProcessScope scope(service);
    ASSERT_EQ(nb::kernel::NtCreateEvent(&deviceNotify, EVENT_ALL_ACCESS, u"", NotificationEvent, FALSE),
              STATUS_SUCCESS);
    ASSERT_EQ(nb::kernel::NtCreateEvent(&timerNotify, EVENT_ALL_ACCESS, u"", NotificationEvent, FALSE),
              STATUS_SUCCESS);
  }

  NTSTATUS OpenEvents() {
    ULONG handles[2] = {Wire(deviceNotify), Wire(timerNotify)};
    return Control(OPEN_EVENT, handles, sizeof handles, nullptr, 0, nullptr, service);
  }
  static ULONG Wire(HANDLE handle) { return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(handle)); }
  void Tick(unsigned seconds) { machine.Kernel().Clock().Tick(seconds); }

  PEPROCESS service = nullptr;
  HANDLE deviceNotify = nullptr;
  HANDLE timerNotify = nullptr;
};

TEST_F(IdleTimerTest, UntouchedEntryExpiresOnTheSixthWalkWithOnePulse) {
  ASSERT_TRUE(TimerStarted());
  ASSERT_EQ(AddService('C'), STATUS_SUCCESS);
  ASSERT_EQ(AddEntry('C', u"\\Docs", 60, NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  ASSERT_EQ(OpenEvents(), STATUS_SUCCESS);
  PulseCounter timerPulses(service, timerNotify);
  PulseCounter devicePulses(service, deviceNotify);
  timerPulses.Settle();

  for (int walk = 1; walk <= 5; ++walk) {
    Tick(10);
    EXPECT_EQ(EntryFlags('C', u"\\Docs"), NBFS_LOCK_OPEN) << "walk " << walk;
  }
  Tick(9);
  EXPECT_EQ(EntryFlags('C', u"\\Docs"), NBFS_LOCK_OPEN);
  EXPECT_EQ(timerPulses.Settle(), 0);
  Tick(1);
  EXPECT_EQ(EntryFlags('C', u"\\Docs"), NBFS_LOCK_EXPIRED);
  EXPECT_EQ(timerPulses.Settle(), 1);

  Tick(60);  // an expired lock is not counted again
  EXPECT_EQ(timerPulses.Settle(), 1);
  EXPECT_EQ(devicePulses.Settle(), 0);
  EXPECT_EQ(Send(START_TIMEOUT_ENTRY, EntryRecord('C', u"\\Docs")), STATUS_SUCCESS);
  EXPECT_EQ(EntryFlags('C', u"\\Docs"), NBFS_LOCK_NOACCESS);
}

TEST_F(IdleTimerTest, ATimeOutExpiresOnTheWalkThatCompletesIt) {
  struct Case {
    const char16_t* path;
    ULONG timeout;
    int expiringWalk;  // ceil(timeout / 10)
  };
  const Case cases[] = {{u"\\T1", 1, 1}, {u"\\T10", 10, 1}, {u"\\T25", 25, 3}, {u"\\T60", 60, 6}, {u"\\T61", 61, 7}};
  ASSERT_EQ(AddService('C'), STATUS_SUCCESS);
  for (const Case& c : cases) ASSERT_EQ(AddEntry('C', c.path, c.timeout, NBFS_LOCK_READONLY), STATUS_SUCCESS);
  for (int walk = 1; walk <= 7; ++walk) {
    Tick(10);
    for (const Case& c : cases) {
      EXPECT_EQ(EntryFlags('C', c.path), walk >= c.expiringWalk ? NBFS_LOCK_EXPIRED : NBFS_LOCK_OPEN)
          << "timeout " << c.timeout << " after walk " << walk;
    }
  }
}

TEST_F(IdleTimerTest, AnEntryAccessedEveryFiveSecondsNeverExpires) {
  ASSERT_EQ(AddService('C'), STATUS_SUCCESS);
  ASSERT_EQ(AddEntry('C', u"\\Docs", 60, NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  ASSERT_EQ(OpenEvents(), STATUS_SUCCESS);
  PulseCounter timerPulses(service, timerNotify);
  LockEntry* entry = Entry('C', u"\\Docs");
  ASSERT_NE(entry, nullptr);
  for (int i = 0; i < 40; ++i) {
    Tick(5);
    ResetEntryIdle(entry);
  }
  EXPECT_EQ(EntryFlags('C', u"\\Docs"), NBFS_LOCK_OPEN);
  EXPECT_EQ(timerPulses.Settle(), 0);
  Tick(60);  // left alone, it closes a whole time-out after the last access
  EXPECT_EQ(EntryFlags('C', u"\\Docs"), NBFS_LOCK_EXPIRED);
  EXPECT_EQ(timerPulses.Settle(), 1);
}

TEST_F(IdleTimerTest, ExpiryWithoutOpenEventsMarksTheLockAndPulsesNothing) {
  ASSERT_EQ(AddService('C'), STATUS_SUCCESS);
  ASSERT_EQ(AddEntry('C', u"\\Never", 10, NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  ASSERT_EQ(AddEntry('C', u"\\Closed", 30, NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  PulseCounter timerPulses(service, timerNotify);
  Tick(10);
  EXPECT_EQ(EntryFlags('C', u"\\Never"), NBFS_LOCK_EXPIRED);
  EXPECT_EQ(timerPulses.Settle(), 0) << "the event was never handed to the driver";

  ASSERT_EQ(OpenEvents(), STATUS_SUCCESS);
  EXPECT_EQ(Control(CLOSE_EVENT, nullptr, 0, nullptr, 0, nullptr, service), STATUS_SUCCESS);
  Tick(20);
  EXPECT_EQ(EntryFlags('C', u"\\Closed"), NBFS_LOCK_EXPIRED);
  EXPECT_EQ(timerPulses.Settle(), 0) << "events were closed again";
}

TEST_F(IdleTimerTest, ADriveWideTimedLockCountsAsAWhole) {
  // An entry registered while the drive was inactive, then a drive-wide timed lock.
  ASSERT_EQ(AddService('C'), STATUS_SUCCESS);
  ASSERT_EQ(Send(DEL_SERVICE, EntryRecord('C')), STATUS_SUCCESS);
  ASSERT_EQ(AddEntry('C', u"\\Docs", 20, NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  ASSERT_EQ(AddService('C', 30, NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  ASSERT_EQ(OpenEvents(), STATUS_SUCCESS);
  PulseCounter timerPulses(service, timerNotify);

  Tick(20);
  EXPECT_EQ(DriveFlags('C'), NBFS_LOCK_OPEN);
  EXPECT_EQ(EntryFlags('C', u"\\Docs"), NBFS_LOCK_OPEN);
  EXPECT_EQ(Entry('C', u"\\Docs")->idle, 0u) << "entries of a drive-wide timed lock are not counted";
  {
    nb::SharedLock guard(Volume('C')->lock);
    ResetDriveIdle(Volume('C'));  // an access restarts the drive's idle time
  }
  Tick(20);
  EXPECT_EQ(DriveFlags('C'), NBFS_LOCK_OPEN);
  Tick(10);
  EXPECT_EQ(DriveFlags('C'), NBFS_LOCK_EXPIRED);
  EXPECT_EQ(EntryFlags('C', u"\\Docs"), NBFS_LOCK_OPEN);
  EXPECT_EQ(timerPulses.Settle(), 1);
  EXPECT_EQ(Send(START_TIMEOUT_ENTRY, EntryRecord('C')), STATUS_SUCCESS);
  EXPECT_EQ(DriveFlags('C'), NBFS_LOCK_NOACCESS);
}

TEST_F(IdleTimerTest, AnInactiveDriveIsSkipped) {
  ASSERT_EQ(AddService('C'), STATUS_SUCCESS);
  ASSERT_EQ(Send(DEL_SERVICE, EntryRecord('C')), STATUS_SUCCESS);
  ASSERT_EQ(AddEntry('C', u"\\Docs", 10, NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  Tick(30);
  EXPECT_EQ(Entry('C', u"\\Docs")->flags, NBFS_LOCK_OPEN);
  EXPECT_EQ(Entry('C', u"\\Docs")->idle, 0u);
  ASSERT_EQ(AddService('C'), STATUS_SUCCESS);
  Tick(10);
  EXPECT_EQ(Entry('C', u"\\Docs")->flags, NBFS_LOCK_EXPIRED);
}

TEST_F(IdleTimerTest, WalksFallingDueDuringASlowWalkAreAllMade) {
  ASSERT_EQ(AddService('C'), STATUS_SUCCESS);
  ASSERT_EQ(AddEntry('C', u"\\Docs", 60, NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  auto& clock = machine.Kernel().Clock();
  {
    // The worker's walk waits for the volume list while two more walks fall due.
    nb::ExclusiveLock busy(Volumes().lock);
    for (int second = 0; second < 30; ++second) clock.FireTimers();
  }
  machine.Kernel().Workers().Drain();
  EXPECT_EQ(Entry('C', u"\\Docs")->idle, 30u);
}

TEST(IdleTimerLoadTest, EveryAllocationFailureAtLoadIsCleanedUpOrLeavesAWorkingDriver) {
  int loadedWithoutTimer = 0;
  for (long failAt = 0; failAt < 16; ++failAt) {
    SCOPED_TRACE(failAt);
    nb::testing::Machine machine;
    machine.AddBareVolume('C');
    auto& pool = machine.Kernel().Pool();
    pool.FailAfter(failAt);
    NTSTATUS status = machine.LoadDriver(u"\\Driver\\nbfs36", nbfsDriverEntry);
    pool.FailAfter(-1);
    if (!NT_SUCCESS(status)) {
      EXPECT_EQ(pool.Outstanding(), 0u);
      continue;
    }
    NBFS_ENTRY service{};
    service.letter = 'C';
    ASSERT_EQ(machine.DeviceControl(NBFS_DEVICE_NAME, ADD_SERVICE, &service, sizeof service, nullptr, 0),
              STATUS_SUCCESS);
    if (TimerStarted()) continue;
    ++loadedWithoutTimer;
    NBFS_ENTRY entry = service;
    entry.timeout = 10;
    entry.type = NBFS_LOCK_NOACCESS;
    std::u16string_view(u"\\Docs").copy(reinterpret_cast<char16_t*>(entry.path), 5);
    ASSERT_EQ(machine.DeviceControl(NBFS_DEVICE_NAME, ADD_ENTRY, &entry, sizeof entry, nullptr, 0), STATUS_SUCCESS);
    machine.Kernel().Clock().Tick(30);
    VolumeReference volume = FindVolume(Volumes(), 'C');
    nb::SharedLock guard(volume->lock);
    EXPECT_EQ(FindEntry(volume, entry.path, 10)->flags, NBFS_LOCK_OPEN) << "no time-outs without the timer";
  }
  EXPECT_GE(loadedWithoutTimer, 1);
}

}  // namespace
