// The Win32 event calls of libnbwin on a machine, in process and over its socket: names,
// set and reset, waits, and handle values that mean the same event to the kernel.
#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include <ntifs.h>
#include <windows.h>

#include "nb/kernel/events.h"
#include "nb/testing/machine.h"
#include "nb/win/handle_table.h"
#include "nb/testing/carrier.h"

namespace {

using nb::testing::Carrier;

class EventCalls : public ::testing::TestWithParam<Carrier> {
 protected:
  void SetUp() override { ASSERT_TRUE(carrier.Ready()); }

  static DWORD Error() { return GetLastError(); }

  nb::testing::Machine machine;
  nb::testing::CarriedTransport carrier{machine.Kernel(), GetParam()};
};

TEST_P(EventCalls, GlobalLocalAndBareNamesNameOneEvent) {
  HANDLE created = CreateEventW(nullptr, TRUE, FALSE, u"Global\\NbNotiftyEvent0000");
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_SUCCESS));
  HANDLE again = CreateEventW(nullptr, FALSE, TRUE, u"NbNotiftyEvent0000");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  HANDLE opened = OpenEventW(SYNCHRONIZE, FALSE, u"Local\\NbNotiftyEvent0000");
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(WaitForSingleObject(opened, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "opening keeps the state";

  ASSERT_TRUE(SetEvent(again));
  EXPECT_EQ(WaitForSingleObject(opened, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(created, 0), WAIT_OBJECT_0) << "a manual-reset event stays set";
  ASSERT_TRUE(ResetEvent(created));
  EXPECT_EQ(WaitForSingleObject(opened, 10), static_cast<DWORD>(WAIT_TIMEOUT));

  // The name is the machine's object, and it goes with the last handle.
  HANDLE kernelSide;
  EXPECT_EQ(nb::kernel::NtOpenEvent(&kernelSide, SYNCHRONIZE, u"\\BaseNamedObjects\\NbNotiftyEvent0000"),
            STATUS_SUCCESS);
  EXPECT_EQ(nb::kernel::NtClose(kernelSide), STATUS_SUCCESS);
  for (HANDLE handle : {created, again, opened}) EXPECT_TRUE(CloseHandle(handle));
  EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, u"NbNotiftyEvent0000"), nullptr);
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_P(EventCalls, NamesTheMachineCannotHaveAreRefused) {
  std::u16string tooLong(261, u'x');
  struct Case {
    const char16_t* name;
    DWORD error;
  };
  for (const Case& c : {Case{u"Global\\", ERROR_INVALID_NAME}, Case{u"Global\\a\\b", ERROR_PATH_NOT_FOUND},
                        Case{tooLong.c_str(), ERROR_FILENAME_EXCED_RANGE}}) {
    EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, c.name), nullptr);
    EXPECT_EQ(Error(), c.error);
    EXPECT_EQ(OpenEventW(EVENT_ALL_ACCESS, FALSE, c.name), nullptr);
    EXPECT_EQ(Error(), c.error);
  }
  for (const char16_t* unnamed : {static_cast<const char16_t*>(nullptr), u""}) {
    EXPECT_EQ(OpenEventW(EVENT_ALL_ACCESS, FALSE, unnamed), nullptr);
    EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    HANDLE handle = CreateEventW(nullptr, FALSE, FALSE, unnamed);
    ASSERT_NE(handle, nullptr);
    EXPECT_TRUE(CloseHandle(handle));
  }
  EXPECT_EQ(OpenEventW(EVENT_ALL_ACCESS, FALSE, u"Global\\Missing"), nullptr);
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(nb::win::ProcessHandles().Count(), 0u) << "failed opens leave no handle behind";
}

TEST_P(EventCalls, AutoResetEventsReleaseOneWaitAndWaitsNameTheirHandle) {
  HANDLE events[3];
  for (HANDLE& event : events) {
    event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
  }
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_TRUE(SetEvent(events[1]));
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForSingleObject(events[1], 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the wait took the signal";

  ASSERT_TRUE(SetEvent(events[0]));
  EXPECT_EQ(WaitForMultipleObjects(2, events, TRUE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_TRUE(SetEvent(events[1]));
  EXPECT_EQ(WaitForMultipleObjects(2, events, TRUE, 0), WAIT_OBJECT_0);

  EXPECT_EQ(WaitForMultipleObjects(0, events, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, events, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(WaitForMultipleObjects(1, nullptr, FALSE, 0), WAIT_FAILED);
  for (HANDLE event : events) EXPECT_TRUE(CloseHandle(event));
  EXPECT_EQ(WaitForSingleObject(events[0], 0), WAIT_FAILED);
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(SetEvent(events[0]));
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_P(EventCalls, AWaitingThreadIsReleasedBySetEventFromAnother) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, u"Global\\Wake");
  ASSERT_NE(event, nullptr);
  DWORD result = 0;
  std::thread waiter([&] { result = WaitForSingleObject(event, INFINITE); });
  PVOID object;
  {
    nb::kernel::ProcessScope caller(carrier.CallerProcess());
    ASSERT_EQ(ObReferenceObjectByHandle(event, 0, nullptr, KernelMode, &object, nullptr), STATUS_SUCCESS);
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (nb::kernel::WaitingThreads(static_cast<PKEVENT>(object)) == 0) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    std::this_thread::yield();
  }
  ObDereferenceObject(object);
  HANDLE other = OpenEventW(EVENT_MODIFY_STATE, FALSE, u"Wake");
  ASSERT_TRUE(SetEvent(other));
  waiter.join();
  EXPECT_EQ(result, WAIT_OBJECT_0);
  CloseHandle(other);
  CloseHandle(event);
}

TEST_P(EventCalls, TheHandleValueIsTheKernelHandleOfTheCreatingProcess) {
  // In process the calls are the service's; over the socket, this program's.
  std::optional<nb::kernel::ProcessScope> service;
  if (!carrier.OverSocket()) service.emplace(machine.Process("NBSvc.exe", 1000));
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  nb::kernel::ProcessScope scope(carrier.CallerProcess());
  PVOID object;
  ASSERT_EQ(ObReferenceObjectByHandle(event, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &object, nullptr),
            STATUS_SUCCESS);
  KeSetEvent(static_cast<PKEVENT>(object), 0, FALSE);
  ObDereferenceObject(object);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);

  {
    nb::kernel::ProcessScope other(machine.Process("other.exe", 1300));
    EXPECT_EQ(ObReferenceObjectByHandle(event, 0, nullptr, UserMode, &object, nullptr), STATUS_INVALID_HANDLE);
  }
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_EQ(ObReferenceObjectByHandle(event, 0, nullptr, UserMode, &object, nullptr), STATUS_INVALID_HANDLE);
}

TEST_P(EventCalls, AccessIsWhatTheOpenAskedFor) {
  HANDLE created = CreateEventW(nullptr, TRUE, FALSE, u"Global\\Guarded");
  HANDLE waitOnly = OpenEventW(SYNCHRONIZE, FALSE, u"Global\\Guarded");
  ASSERT_NE(waitOnly, nullptr);
  EXPECT_FALSE(SetEvent(waitOnly));
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  HANDLE modifyOnly = OpenEventW(EVENT_MODIFY_STATE, FALSE, u"Global\\Guarded");
  EXPECT_TRUE(SetEvent(modifyOnly));
  EXPECT_EQ(WaitForSingleObject(modifyOnly, 0), WAIT_FAILED);
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(WaitForSingleObject(waitOnly, 0), WAIT_OBJECT_0);
  for (HANDLE handle : {created, waitOnly, modifyOnly}) CloseHandle(handle);
}

INSTANTIATE_TEST_SUITE_P(Carriers, EventCalls, ::testing::Values(Carrier::kInProcess, Carrier::kSocket),
                         [](const auto& info) { return std::string(nb::testing::NameOf(info.param)); });

TEST(EventCallsWithoutMachine, FailNotReady) {
  EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, u"Global\\X"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
}

}  // namespace
