// CREATE_EVENT, OPEN_EVENT and CLOSE_EVENT through the control device, and which
// events a pulse reaches.
#include <thread>

#include "events.h"
#include "nb/kernel/events.h"
#include "nb/kernel/handles.h"
#include "nb/kernel/io.h"
#include "nb/kernel/object_references.h"
#include "nb/kernel/pool.h"
#include "control_fixture.h"

namespace {

constexpr std::u16string_view kConsoleEvent = u"\\BaseNamedObjects\\NbNotiftyEvent0000";

class NotifyEventTest : public NbfsControlTest {
 protected:
  void SetUp() override {
    NbfsControlTest::SetUp();
    service = machine.Process("NBSvc.exe", 1000);
  }

  NTSTATUS CreateEventRequest(std::u16string_view name) {
    std::u16string terminated(name);
    return Control(CREATE_EVENT, terminated.c_str(), static_cast<ULONG>((terminated.size() + 1) * sizeof(WCHAR)));
  }
  // An event of the service's own, with the kernel object behind it.
  HANDLE NewEvent(PKEVENT* object) {
    nb::kernel::ProcessScope scope(service);
    HANDLE handle = nullptr;
    EXPECT_EQ(nb::kernel::NtCreateEvent(&handle, EVENT_ALL_ACCESS, u"", NotificationEvent, FALSE), STATUS_SUCCESS);
    PVOID referenced = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, nullptr, UserMode, &referenced, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(referenced);  // the handle keeps it
    *object = static_cast<PKEVENT>(referenced);
    return handle;
  }
  NTSTATUS OpenEvents(ULONG deviceHandle, ULONG timerHandle, ULONG inputLength = 2 * sizeof(ULONG)) {
    ULONG handles[2] = {deviceHandle, timerHandle};
    return Control(OPEN_EVENT, handles, inputLength, nullptr, 0, nullptr, service);
  }
  static ULONG Wire(HANDLE handle) { return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(handle)); }
  void Close(HANDLE handle) {
    nb::kernel::ProcessScope scope(service);
    EXPECT_EQ(nb::kernel::NtClose(handle), STATUS_SUCCESS);
  }
  // Whether a pulse now releases a thread waiting on the event.
  static bool PulseReaches(PKEVENT event, void (*pulse)()) {
    KeClearEvent(event);
    std::thread waiter([event] { (void)KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr); });
    WaitForWaiter(event);
    pulse();
    bool reached = nb::kernel::WaitingThreads(event) == 0;
    if (!reached) KeSetEvent(event, 0, FALSE);
    waiter.join();
    KeClearEvent(event);
    return reached;
  }

  // Whether the service can open the named event now.
  bool EventExists(std::u16string_view name) {
    nb::kernel::ProcessScope scope(service);
    HANDLE handle;
    if (!NT_SUCCESS(nb::kernel::NtOpenEvent(&handle, SYNCHRONIZE, name))) return false;
    EXPECT_EQ(nb::kernel::NtClose(handle), STATUS_SUCCESS);
    return true;
  }

  PEPROCESS service = nullptr;
};

TEST_F(NotifyEventTest, CreateEventLeavesANamedClearedEventForTheServiceToOpen) {
  ASSERT_EQ(CreateEventRequest(kConsoleEvent), STATUS_SUCCESS);
  nb::kernel::ProcessScope scope(service);
  HANDLE handle;
  ASSERT_EQ(nb::kernel::NtOpenEvent(&handle, EVENT_ALL_ACCESS, kConsoleEvent), STATUS_SUCCESS);
  PVOID event;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, nullptr, UserMode, &event, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(static_cast<PKEVENT>(event)), 0);

  // Asked again for an existing, signalled event: the same event, cleared again.
  ASSERT_EQ(nb::kernel::NtSetEvent(handle, nullptr), STATUS_SUCCESS);
  ASSERT_EQ(CreateEventRequest(kConsoleEvent), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(static_cast<PKEVENT>(event)), 0);
  ObDereferenceObject(event);
  // The driver keeps no handle of the caller's.
  EXPECT_EQ(machine.Kernel().Handles().Count(1000), 1u);
  EXPECT_EQ(nb::kernel::NtClose(handle), STATUS_SUCCESS);
}

// Regression: every CREATE_EVENT left a kernel handle open, so any opener of the control
// device could fill the handle table by asking again and again.
TEST_F(NotifyEventTest, RepeatedCreateEventKeepsOneReferenceAndNoHandle) {
  size_t kernelHandles = machine.Kernel().Handles().KernelCount();
  size_t objects = machine.Kernel().References().Count();
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(CreateEventRequest(kConsoleEvent), STATUS_SUCCESS);
  EXPECT_EQ(machine.Kernel().Handles().KernelCount(), kernelHandles);
  EXPECT_EQ(machine.Kernel().References().Count(), objects + 1);
  EXPECT_TRUE(EventExists(kConsoleEvent)) << "the event outlives the requests";
}

TEST_F(NotifyEventTest, CreatedEventsLiveUntilTheDriverUnloads) {
  constexpr std::u16string_view kOther = u"\\BaseNamedObjects\\OtherEvent";
  ASSERT_EQ(CreateEventRequest(kConsoleEvent), STATUS_SUCCESS);
  ASSERT_EQ(CreateEventRequest(kOther), STATUS_SUCCESS);
  ASSERT_EQ(CreateEventRequest(kConsoleEvent), STATUS_SUCCESS);
  EXPECT_TRUE(EventExists(kConsoleEvent));
  EXPECT_TRUE(EventExists(kOther));
  machine.UnloadDriver(machine.driver);
  EXPECT_FALSE(EventExists(kConsoleEvent));
  EXPECT_FALSE(EventExists(kOther));
}

// Distinct names are kept up to a bound; past it a request fails and leaves nothing.
TEST_F(NotifyEventTest, CreateEventKeepsABoundedNumberOfEvents) {
  StartLog();
  auto name = [](int i) { return u"\\BaseNamedObjects\\Many" + std::u16string(1, char16_t(u'A' + i / 26)) +
                                 std::u16string(1, char16_t(u'a' + i % 26)); };
  int kept = 0;
  while (kept < 1000 && CreateEventRequest(name(kept)) == STATUS_SUCCESS) ++kept;
  EXPECT_GE(kept, 8) << "the product's own events fit";
  EXPECT_LT(kept, 1000);
  size_t kernelHandles = machine.Kernel().Handles().KernelCount();
  EXPECT_EQ(CreateEventRequest(name(kept)), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(EventExists(name(kept)));
  EXPECT_EQ(CreateEventRequest(name(0)), STATUS_SUCCESS) << "an event already kept is simply cleared";
  EXPECT_EQ(machine.Kernel().Handles().KernelCount(), kernelHandles);
  // The request that ended the loop and the one after it.
  EXPECT_EQ(LogMessages(), std::vector<std::string>(2, "NBFS CREATE EVENT: cannot keep Event, err=c000009a\n"));
}

// Each allocation of the request failing in turn: the request fails and leaves neither a
// handle nor a reference nor the event behind.
TEST_F(NotifyEventTest, CreateEventAllocationFailuresLeaveNothing) {
  size_t kernelHandles = machine.Kernel().Handles().KernelCount();
  size_t objects = machine.Kernel().References().Count();
  int failures = 0;
  for (long allowed = 0; allowed < 32; ++allowed) {
    machine.Kernel().Pool().FailAfter(allowed);
    NTSTATUS status = CreateEventRequest(kConsoleEvent);
    machine.Kernel().Pool().FailAfter(-1);
    if (NT_SUCCESS(status)) break;
    ++failures;
    EXPECT_EQ(machine.Kernel().Handles().KernelCount(), kernelHandles) << allowed;
    EXPECT_EQ(machine.Kernel().References().Count(), objects) << allowed;
    EXPECT_FALSE(EventExists(kConsoleEvent)) << allowed;
  }
  EXPECT_GE(failures, 1);
  EXPECT_TRUE(EventExists(kConsoleEvent));
  EXPECT_EQ(machine.Kernel().Handles().KernelCount(), kernelHandles);
}

TEST_F(NotifyEventTest, CreateEventRefusesNamesItCannotUse) {
  StartLog();
  for (std::u16string_view name : {u"", u"NoBackslash", u"\\Device\\nbfscntl36"}) {
    EXPECT_EQ(CreateEventRequest(name), STATUS_UNSUCCESSFUL);
  }
  EXPECT_EQ(LogMessages(), std::vector<std::string>(3, "NBFS CREATE EVENT: cannot create Event\n"));
  // A name without its terminating NUL inside the request is not read past the request.
  const WCHAR unterminated[] = {u'\\', u'X'};
  EXPECT_EQ(Control(CREATE_EVENT, unterminated, sizeof unterminated), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Control(CREATE_EVENT, nullptr, 0), STATUS_INVALID_PARAMETER);
}

TEST_F(NotifyEventTest, OpenEventClearsBothAndPulsesReachOnlyTheirOwnEvent) {
  PKEVENT device;
  PKEVENT timer;
  HANDLE deviceHandle = NewEvent(&device);
  HANDLE timerHandle = NewEvent(&timer);
  EXPECT_FALSE(PulseReaches(timer, PulseTimerNotify)) << "nothing is pulsed before OPEN_EVENT";
  KeSetEvent(device, 0, FALSE);
  KeSetEvent(timer, 0, FALSE);
  ASSERT_EQ(OpenEvents(Wire(deviceHandle), Wire(timerHandle)), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(device), 0);
  EXPECT_EQ(KeReadStateEvent(timer), 0);

  EXPECT_TRUE(PulseReaches(device, PulseDeviceNotify));
  EXPECT_FALSE(PulseReaches(device, PulseTimerNotify));
  EXPECT_TRUE(PulseReaches(timer, PulseTimerNotify));
  EXPECT_EQ(KeReadStateEvent(timer), 0) << "a pulse leaves the event cleared";

  ASSERT_EQ(Control(CLOSE_EVENT, nullptr, 0), STATUS_SUCCESS);
  EXPECT_FALSE(PulseReaches(timer, PulseTimerNotify));
  ASSERT_EQ(OpenEvents(Wire(deviceHandle), Wire(timerHandle)), STATUS_SUCCESS);
  EXPECT_TRUE(PulseReaches(timer, PulseTimerNotify));
  Close(deviceHandle);
  Close(timerHandle);
}

TEST_F(NotifyEventTest, OpenEventRefusesHandlesThatAreNotEventsOfTheCaller) {
  PKEVENT device;
  PKEVENT timer;
  HANDLE deviceHandle = NewEvent(&device);
  HANDLE timerHandle = NewEvent(&timer);
  ASSERT_EQ(OpenEvents(Wire(deviceHandle), Wire(timerHandle)), STATUS_SUCCESS);

  // A file handle of the service, and an event handle that only another process holds.
  HANDLE fileHandle;
  {
    nb::kernel::ProcessScope scope(service);
    PFILE_OBJECT file;
    ASSERT_EQ(nb::kernel::OpenFile(u"\\DosDevices\\C:", {}, &file), STATUS_SUCCESS);
    ASSERT_EQ(machine.Kernel().Handles().Insert(1000, false, file, *IoFileObjectType, FILE_READ_DATA, &fileHandle),
              STATUS_SUCCESS);
  }
  HANDLE foreign;
  {
    nb::kernel::ProcessScope scope(machine.Process("other.exe", 1300));
    for (int i = 0; i < 4; ++i) {  // past the service's handle numbers
      ASSERT_EQ(nb::kernel::NtCreateEvent(&foreign, EVENT_ALL_ACCESS, u"", NotificationEvent, FALSE),
                STATUS_SUCCESS);
    }
  }
  struct Case {
    ULONG device;
    ULONG timer;
    NTSTATUS status;
  };
  for (const Case& c : {Case{Wire(fileHandle), Wire(timerHandle), STATUS_OBJECT_TYPE_MISMATCH},
                        Case{Wire(deviceHandle), Wire(fileHandle), STATUS_OBJECT_TYPE_MISMATCH},
                        Case{Wire(deviceHandle), Wire(foreign), STATUS_INVALID_HANDLE},
                        Case{0, Wire(timerHandle), STATUS_INVALID_HANDLE},
                        Case{Wire(deviceHandle), 0x80000004, STATUS_INVALID_HANDLE}}) {
    SCOPED_TRACE(testing::Message() << std::hex << c.device << " " << c.timer);
    EXPECT_EQ(OpenEvents(c.device, c.timer), c.status);
  }
  EXPECT_EQ(OpenEvents(Wire(deviceHandle), Wire(timerHandle), sizeof(ULONG)), STATUS_INVALID_PARAMETER);
  // The registration made before stays in force, and nothing was referenced for nothing.
  EXPECT_TRUE(PulseReaches(timer, PulseTimerNotify));
  EXPECT_TRUE(PulseReaches(device, PulseDeviceNotify));
  size_t objects = machine.Kernel().References().Count();
  machine.Kernel().Handles().CloseProcess(1300);
  machine.Kernel().Handles().CloseProcess(1000);
  EXPECT_EQ(machine.Kernel().References().Count(), objects - 5) << "the driver still holds its two events";
}

TEST_F(NotifyEventTest, ASecondOpenEventDropsTheEarlierEvents) {
  constexpr std::u16string_view kFirst = u"\\BaseNamedObjects\\FirstTimer";
  HANDLE first;
  HANDLE second;
  PKEVENT secondEvent;
  {
    nb::kernel::ProcessScope scope(service);
    ASSERT_EQ(nb::kernel::NtCreateEvent(&first, EVENT_ALL_ACCESS, kFirst, NotificationEvent, FALSE), STATUS_SUCCESS);
  }
  second = NewEvent(&secondEvent);
  ASSERT_EQ(OpenEvents(Wire(first), Wire(first)), STATUS_SUCCESS);
  ASSERT_EQ(OpenEvents(Wire(second), Wire(second)), STATUS_SUCCESS);
  Close(first);
  nb::kernel::ProcessScope scope(service);
  HANDLE reopened;
  EXPECT_EQ(nb::kernel::NtOpenEvent(&reopened, SYNCHRONIZE, kFirst), STATUS_OBJECT_NAME_NOT_FOUND)
      << "the driver let go of the first event";
  EXPECT_TRUE(PulseReaches(secondEvent, PulseTimerNotify));
  EXPECT_EQ(nb::kernel::NtClose(second), STATUS_SUCCESS);
}

}  // namespace
