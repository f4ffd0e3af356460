// The client calls of notification events and trusted processes against the real nbfs
// driver, end to end through libnbwin: the service's events and its waiting thread, the
// idle timer with deterministic ticks, and the trust the lookups then give.
#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "client_machine.h"
#include "driver.h"
#include "nb/kernel/clock.h"
#include "nb/kernel/events.h"
#include "nb/resource_guard.h"
#include "nbclient.h"
#include "trusted.h"

namespace client_test {
namespace {

class ClientEventsTrust : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(machine.LoadNbfs(), STATUS_SUCCESS);
    machine.MakeFolder('D', "\\a");
    machine.MakeFolder('D', "\\ro");
  }

  int Quiet(const std::function<int()>& call, std::string* output = nullptr) {
    int result;
    std::string printed = Captured(call, &result);
    if (output) *output = printed;
    return result;
  }
  ULONG EntryFlags(const WCHAR* path) {
    NBFS_ENTRY entries[4]{};
    EXPECT_EQ(GetEntryInfoInDrive(u'D', entries, sizeof entries), 0);
    for (const NBFS_ENTRY& entry : entries) {
      if (std::u16string(entry.path) == path) return entry.type;
    }
    return ~0u;
  }
  // The permission the access checks will get for a process on D:<path>.
  ULONG TrustFor(const std::string& image, ULONG id, std::u16string_view path) {
    nb::kernel::ProcessScope scope(machine.Process(image, id));
    VolumeReference volume = FindVolume(Volumes(), 'D');
    nb::SharedLock guard(volume->lock);
    LockEntry* entry = FindEntry(volume, reinterpret_cast<const WCHAR*>(path.data()),
                                 static_cast<ULONG>(path.size() * sizeof(WCHAR)));
    return entry ? LookupTrustedForEntry(entry) : ~0u;
  }

  ClientMachine machine{'D'};
};

// The service's notification thread: waits on its timer event and counts the releases.
class NotificationThread {
 public:
  NotificationThread(PEPROCESS service, HANDLE event) : service_(service), event_(event) {
    nb::kernel::ProcessScope scope(service);
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(event, 0, *ExEventObjectType, UserMode, &object, nullptr), STATUS_SUCCESS);
    kernelEvent_ = static_cast<PKEVENT>(object);
    thread_ = std::thread([this] {
      nb::kernel::ProcessScope waiting(service_);
      while (WaitForSingleObject(event_, INFINITE) == WAIT_OBJECT_0 && !stop_) ++released_;
    });
  }
  ~NotificationThread() {
    Settle();
    stop_ = true;
    KeSetEvent(kernelEvent_, 0, FALSE);
    thread_.join();
    KeClearEvent(kernelEvent_);
    ObDereferenceObject(kernelEvent_);
  }
  // The releases so far, once the thread waits again.
  int Settle() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (nb::kernel::WaitingThreads(kernelEvent_) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "the notification thread never waits";
        break;
      }
      std::this_thread::yield();
    }
    return released_;
  }

 private:
  PEPROCESS service_;
  HANDLE event_;
  PKEVENT kernelEvent_ = nullptr;
  std::atomic<bool> stop_{false};
  std::atomic<int> released_{0};
  std::thread thread_;
};

TEST_F(ClientEventsTrust, TheServiceIsToldOnceWhenAnOpenedFolderExpires) {
  PEPROCESS service = machine.Process("NBSvc.exe", 1000);
  nb::kernel::ProcessScope scope(service);
  HANDLE deviceEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE timerEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(deviceEvent, nullptr);
  ASSERT_NE(timerEvent, nullptr);
  ASSERT_EQ(NB_OpenEvent(deviceEvent, timerEvent), 0);
  ASSERT_EQ(Quiet([] { return LockFolder(u'D', u"\\a", 1, 60); }), 0);
  NotificationThread notifications(service, timerEvent);
  notifications.Settle();

  auto& clock = machine.Kernel().Clock();
  clock.Tick(59);
  EXPECT_EQ(EntryFlags(u"\\a"), 0u);
  EXPECT_EQ(notifications.Settle(), 0);
  clock.Tick(1);
  EXPECT_EQ(EntryFlags(u"\\a"), NBFS_LOCK_EXPIRED);
  EXPECT_EQ(notifications.Settle(), 1);

  // The service re-locks; opened again and left alone after it closed its events, the
  // folder still expires but nobody is told.
  ASSERT_EQ(StartTimeOutEntry(u'D', u"\\a"), 0);
  EXPECT_EQ(EntryFlags(u"\\a"), NBFS_LOCK_NOACCESS);
  ASSERT_EQ(NB_CloseEvent(), 0);
  ASSERT_EQ(SetEntryInfo(u'D', u"\\a", 1, 20), 0);
  clock.Tick(20);
  EXPECT_EQ(EntryFlags(u"\\a"), NBFS_LOCK_EXPIRED);
  EXPECT_EQ(notifications.Settle(), 1);
  CloseHandle(deviceEvent);
  CloseHandle(timerEvent);
}

TEST_F(ClientEventsTrust, TheConsoleEventIsCreatedByTheDriverAndOpenedGlobally) {
  ASSERT_EQ(NB_CreateEvent(u"\\BaseNamedObjects\\NbNotiftyEvent0000"), 0);
  HANDLE console = OpenEventW(EVENT_ALL_ACCESS, FALSE, u"Global\\NbNotiftyEvent0000");
  ASSERT_NE(console, nullptr);
  EXPECT_EQ(WaitForSingleObject(console, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "created cleared";
  EXPECT_TRUE(SetEvent(console));
  EXPECT_EQ(WaitForSingleObject(console, 0), WAIT_OBJECT_0) << "a notification event stays set";
  EXPECT_TRUE(CloseHandle(console));
}

TEST_F(ClientEventsTrust, OpenEventWithHandlesThatAreNotEventsFails) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE device = CreateFileW(u"\\\\.\\nbfscntl36", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  std::string output;
  EXPECT_EQ(Quiet([&] { return NB_OpenEvent(device, event); }, &output), NB_ERROR_IOCTL);
  EXPECT_EQ(output, "NB_OpenEvent: OPEN EVENT ioctl failed\n");
  EXPECT_EQ(Quiet([&] { return NB_OpenEvent(event, reinterpret_cast<HANDLE>(0x400)); }), NB_ERROR_IOCTL);
  EXPECT_EQ(NB_OpenEvent(event, event), 0);
  CloseHandle(device);
  CloseHandle(event);
}

TEST_F(ClientEventsTrust, TrustedProcessesThroughTheClientCalls) {
  ASSERT_EQ(Quiet([] { return LockFolder(u'D', u"\\a", NBFS_LOCK_NOACCESS, 0); }), 0);
  ASSERT_EQ(Quiet([] { return LockFolder(u'D', u"\\ro", NBFS_LOCK_READONLY, 0); }), 0);
  ASSERT_EQ(NB_RegisterProcess(u'D', u"\\a", "app.exe", 1200, NBFS_PERMISSION_READ), 0);
  EXPECT_EQ(Quiet([] { return NB_RegisterProcess(u'D', u"\\a", "APP.EXE", 1200, NBFS_PERMISSION_FULL); }),
            NB_ERROR_IOCTL);
  EXPECT_EQ(Quiet([] { return NB_RegisterProcess(u'D', u"\\ro", "app.exe", 1200, NBFS_PERMISSION_READ); }),
            NB_ERROR_IOCTL);
  ASSERT_EQ(NB_RegisterProcess(u'D', u"\\ro", "app.exe", 1200, NBFS_PERMISSION_FULL), 0);
  ASSERT_EQ(NB_RegisterGlobalProcess("NBSvc.exe", 1000, NBFS_PERMISSION_READ), 0);

  ULONG count = 0;
  ASSERT_EQ(NB_GetProcCount(u'D', u"\\a", &count), 0);
  EXPECT_EQ(count, 1u);
  NBFS_PROC records[2]{};
  ASSERT_EQ(NB_GetProcInfo(u'D', u"\\a", records, sizeof records), 0);
  EXPECT_STREQ(records[0].name, "app.exe");
  EXPECT_EQ(records[0].permission, NBFS_PERMISSION_READ);
  ASSERT_EQ(NB_GetGlobalProcCount(&count), 0);
  EXPECT_EQ(count, 1u);
  ASSERT_EQ(NB_GetGlobalProcInfo(records, sizeof records), 0);
  EXPECT_EQ(records[0].permission, NBFS_PERMISSION_FULL) << "global registrations carry full access";

  EXPECT_EQ(TrustFor("app.exe", 1200, u"\\a"), NBFS_PERMISSION_READ);
  EXPECT_EQ(TrustFor("App.Exe", 1200, u"\\ro"), NBFS_PERMISSION_FULL);
  EXPECT_EQ(TrustFor("app.exe", 1201, u"\\a"), NBFS_NOT_TRUSTED);
  EXPECT_EQ(TrustFor("NBSvc.exe", 1000, u"\\ro"), NBFS_PERMISSION_FULL);

  ASSERT_EQ(NB_RemoveProcess(u'D', u"\\a", "app.exe", 1200), 0);
  EXPECT_EQ(Quiet([] { return NB_RemoveProcess(u'D', u"\\a", "app.exe", 1200); }), NB_ERROR_IOCTL);
  ASSERT_EQ(NB_RemoveGlobalProcess("nbsvc.exe", 1000), 0);
  EXPECT_EQ(TrustFor("app.exe", 1200, u"\\a"), NBFS_NOT_TRUSTED);
  EXPECT_EQ(TrustFor("NBSvc.exe", 1000, u"\\ro"), NBFS_NOT_TRUSTED);
}

}  // namespace
}  // namespace client_test
