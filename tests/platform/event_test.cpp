// Kernel events and waits: who a set, a pulse or a time-out releases, and named events
// reached through handles.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "nb/kernel/events.h"
#include "nb/kernel/handles.h"
#include "nb/kernel/io.h"
#include "nb/kernel/object_references.h"
#include "nb/testing/machine.h"

namespace {

using nb::kernel::WaitingThreads;

LARGE_INTEGER Milliseconds(LONGLONG ms) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -ms * 10'000;
  return timeout;
}

// Waits (boundedly, so that a fault fails the test instead of hanging it) until
// `count` threads wait on the event.
void WaitForWaiters(PRKEVENT event, size_t count) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (WaitingThreads(event) != count) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "waiting threads never became " << count;
    std::this_thread::yield();
  }
}

// Threads blocked on one event; counts how many have been released.
class Waiters {
 public:
  Waiters(PRKEVENT event, int count) {
    for (int i = 0; i < count; ++i) {
      threads_.emplace_back([this, event] {
        if (KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr) == STATUS_WAIT_0) ++released_;
      });
    }
    WaitForWaiters(event, count);
  }
  ~Waiters() {
    for (auto& thread : threads_) thread.join();
  }
  int Released() const { return released_; }

 private:
  std::atomic<int> released_{0};
  std::vector<std::thread> threads_;
};

TEST(EventTest, SetReleasesEveryWaiterOfANotificationEventAndOneOfASynchronizationEvent) {
  nb::testing::Machine machine;
  struct Case {
    EVENT_TYPE type;
    int releasedByOneSet;
    LONG stateAfterSet;
  };
  for (const Case& c : {Case{NotificationEvent, 3, 1}, Case{SynchronizationEvent, 1, 0}}) {
    SCOPED_TRACE(c.type);
    KEVENT event;
    KeInitializeEvent(&event, c.type, FALSE);
    {
      Waiters waiters(&event, 3);
      EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
      WaitForWaiters(&event, 3 - c.releasedByOneSet);
      EXPECT_EQ(KeReadStateEvent(&event), c.type == NotificationEvent ? 1 : 0);
      while (WaitingThreads(&event) > 0) KeSetEvent(&event, 0, FALSE);
    }
    // With nobody waiting the signal stays (a synchronization event until one wait takes it).
    KeClearEvent(&event);
    KeSetEvent(&event, 0, FALSE);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_WAIT_0);
    EXPECT_EQ(KeReadStateEvent(&event), c.stateAfterSet);
  }
}

TEST(EventTest, PulseReleasesOnlyTheThreadsWaitingAtThatMoment) {
  nb::testing::Machine machine;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  {
    Waiters waiters(&event, 2);
    KeSetEvent(&event, 0, FALSE);
    KeClearEvent(&event);
  }
  LARGE_INTEGER poll{};
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
  LARGE_INTEGER shortly = Milliseconds(20);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &shortly), STATUS_TIMEOUT);
  EXPECT_EQ(WaitingThreads(&event), 0u) << "a timed-out wait leaves its wait block behind";
}

TEST(EventTest, WaitAnyNamesTheSignalledObjectAndWaitAllNeedsAllAtOnce) {
  nb::testing::Machine machine;
  KEVENT first;
  KEVENT second;
  KeInitializeEvent(&first, NotificationEvent, FALSE);
  KeInitializeEvent(&second, SynchronizationEvent, FALSE);
  PVOID both[] = {&first, &second};
  LARGE_INTEGER poll{};

  KeSetEvent(&second, 0, FALSE);
  EXPECT_EQ(KeWaitForMultipleObjects(2, both, WaitAny, Executive, KernelMode, FALSE, &poll, nullptr),
            STATUS_WAIT_0 + 1);
  EXPECT_EQ(KeReadStateEvent(&second), 0) << "the satisfied wait consumes a synchronization event";

  NTSTATUS status = STATUS_PENDING;
  std::thread waiter([&] {
    status = KeWaitForMultipleObjects(2, both, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr);
  });
  WaitForWaiters(&first, 1);
  KeSetEvent(&first, 0, FALSE);
  KeClearEvent(&first);  // a pulse of one object does not satisfy a wait for both
  KeSetEvent(&second, 0, FALSE);
  EXPECT_EQ(WaitingThreads(&second), 1u);
  EXPECT_EQ(KeReadStateEvent(&second), 1);
  KeSetEvent(&first, 0, FALSE);
  waiter.join();
  EXPECT_EQ(status, STATUS_WAIT_0);
  EXPECT_EQ(KeReadStateEvent(&second), 0);
  EXPECT_EQ(KeReadStateEvent(&first), 1);
}

TEST(NamedEventTest, CreateOpensAnExistingEventAndTheNameGoesWithTheLastHandle) {
  nb::testing::Machine machine;
  PEPROCESS service = machine.Process("NBSvc.exe", 1000);
  PEPROCESS console = machine.Process("NBAdmin.exe", 1100);
  constexpr std::u16string_view name = u"\\BaseNamedObjects\\NbNotiftyEvent0000";
  HANDLE created;
  HANDLE again;
  HANDLE opened;
  {
    nb::kernel::ProcessScope scope(service);
    ASSERT_EQ(nb::kernel::NtCreateEvent(&created, EVENT_ALL_ACCESS, name, NotificationEvent, FALSE), STATUS_SUCCESS);
    ASSERT_EQ(nb::kernel::NtCreateEvent(&again, EVENT_ALL_ACCESS, name, SynchronizationEvent, TRUE),
              STATUS_OBJECT_NAME_EXISTS);
    EXPECT_NE(created, again);
  }
  {
    nb::kernel::ProcessScope scope(console);
    ASSERT_EQ(nb::kernel::NtOpenEvent(&opened, SYNCHRONIZE, u"\\BASENAMEDOBJECTS\\NbNotiftyEvent0000"),
              STATUS_SUCCESS);
    EXPECT_EQ(opened, created) << "handles are numbered per process";
    std::thread waiter([&] {
      nb::kernel::ProcessScope waiting(console);
      EXPECT_EQ(nb::kernel::NtWaitForSingleObject(opened, nullptr), STATUS_WAIT_0);
    });
    PVOID object;
    ASSERT_EQ(ObReferenceObjectByHandle(opened, 0, *ExEventObjectType, UserMode, &object, nullptr), STATUS_SUCCESS);
    WaitForWaiters(static_cast<PRKEVENT>(object), 1);
    ObDereferenceObject(object);
    {
      nb::kernel::ProcessScope setter(service);
      LONG previous = -1;
      EXPECT_EQ(nb::kernel::NtSetEvent(again, &previous), STATUS_SUCCESS);
      EXPECT_EQ(previous, 0) << "opening an existing event keeps its state";
    }
    waiter.join();
    EXPECT_EQ(nb::kernel::NtSetEvent(opened, nullptr), STATUS_ACCESS_DENIED) << "opened for SYNCHRONIZE only";
    EXPECT_EQ(nb::kernel::NtClose(opened), STATUS_SUCCESS);
  }
  {
    nb::kernel::ProcessScope scope(service);
    EXPECT_EQ(nb::kernel::NtClose(created), STATUS_SUCCESS);
    EXPECT_EQ(nb::kernel::NtOpenEvent(&opened, SYNCHRONIZE, name), STATUS_SUCCESS) << "one handle is still open";
    EXPECT_EQ(nb::kernel::NtClose(opened), STATUS_SUCCESS);
    EXPECT_EQ(nb::kernel::NtClose(again), STATUS_SUCCESS);
    EXPECT_EQ(nb::kernel::NtOpenEvent(&opened, SYNCHRONIZE, name), STATUS_OBJECT_NAME_NOT_FOUND);
  }
}

TEST(NamedEventTest, BadNamesAndNamesOfOtherObjectsAreRefused) {
  nb::testing::Machine machine;
  machine.AddBareVolume('C');
  HANDLE handle;
  struct Case {
    std::u16string_view name;
    NTSTATUS create;
    NTSTATUS open;
  };
  for (const Case& c : {
           Case{u"NoLeadingBackslash", STATUS_OBJECT_NAME_INVALID, STATUS_OBJECT_NAME_INVALID},
           Case{u"\\BaseNamedObjects\\", STATUS_OBJECT_NAME_INVALID, STATUS_OBJECT_NAME_INVALID},
           Case{u"\\Device\\HarddiskVolume1", STATUS_OBJECT_TYPE_MISMATCH, STATUS_OBJECT_TYPE_MISMATCH},
           Case{u"\\BaseNamedObjects\\Missing", STATUS_SUCCESS, STATUS_OBJECT_NAME_NOT_FOUND},
       }) {
    SCOPED_TRACE(std::string(c.name.begin(), c.name.end()));
    EXPECT_EQ(nb::kernel::NtOpenEvent(&handle, SYNCHRONIZE, c.name), c.open);
    EXPECT_EQ(nb::kernel::NtCreateEvent(&handle, EVENT_ALL_ACCESS, c.name, NotificationEvent, FALSE), c.create);
    if (NT_SUCCESS(c.create)) {
      EXPECT_EQ(nb::kernel::NtClose(handle), STATUS_SUCCESS);
    }
  }
  UNICODE_STRING empty{};
  empty.Buffer = const_cast<PWSTR>(u"");
  EXPECT_EQ(IoCreateNotificationEvent(&empty, &handle), nullptr);
}

TEST(NamedEventTest, NotificationEventStartsSignalledUnderAKernelHandle) {
  nb::testing::Machine machine;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\BaseNamedObjects\\Created");
  HANDLE kernelHandle;
  PKEVENT event = IoCreateNotificationEvent(&name, &kernelHandle);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(KeReadStateEvent(event), 1);
  EXPECT_TRUE(reinterpret_cast<ULONG_PTR>(kernelHandle) & nb::kernel::kKernelHandleFlag);
  EXPECT_EQ(IoCreateNotificationEvent(&name, &kernelHandle), event) << "the second call opens the same event";
  EXPECT_EQ(machine.Kernel().Handles().KernelCount(), 2u);

  // Kernel handles do not take the values of the System process's own handles.
  HANDLE systemHandle;
  HANDLE chosen = reinterpret_cast<HANDLE>(ULONG_PTR{4});
  ASSERT_EQ(nb::kernel::NtCreateEvent(&systemHandle, EVENT_ALL_ACCESS, u"", NotificationEvent, FALSE, chosen),
            STATUS_SUCCESS);
  EXPECT_EQ(systemHandle, chosen);
  EXPECT_EQ(nb::kernel::NtCreateEvent(&systemHandle, EVENT_ALL_ACCESS, u"", NotificationEvent, FALSE, chosen),
            STATUS_INVALID_HANDLE)
      << "a chosen value that is open already";
  EXPECT_EQ(nb::kernel::NtClose(chosen), STATUS_SUCCESS);

  nb::kernel::ProcessScope scope(machine.Process("NBSvc.exe", 1000));
  PVOID object;
  EXPECT_EQ(ObReferenceObjectByHandle(kernelHandle, 0, nullptr, UserMode, &object, nullptr), STATUS_INVALID_HANDLE);
  ASSERT_EQ(ObReferenceObjectByHandle(kernelHandle, 0, nullptr, KernelMode, &object, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(object, event);
  ObDereferenceObject(object);
  HANDLE user;
  ASSERT_EQ(nb::kernel::NtOpenEvent(&user, SYNCHRONIZE, u"\\BaseNamedObjects\\Created"), STATUS_SUCCESS);
  EXPECT_EQ(nb::kernel::NtWaitForSingleObject(user, nullptr), STATUS_WAIT_0);
  EXPECT_EQ(nb::kernel::NtClose(user), STATUS_SUCCESS);
}

TEST(HandleTableTest, HandlesBelongToTheirProcessAndTheirType) {
  nb::testing::Machine machine;
  machine.AddBareVolume('C');
  PEPROCESS owner = machine.Process("owner.exe", 1200);
  PEPROCESS other = machine.Process("other.exe", 1300);
  auto& handles = machine.Kernel().Handles();
  HANDLE event;
  HANDLE file;
  {
    nb::kernel::ProcessScope scope(owner);
    ASSERT_EQ(nb::kernel::NtCreateEvent(&event, EVENT_ALL_ACCESS, u"", NotificationEvent, FALSE), STATUS_SUCCESS);
    PFILE_OBJECT fileObject;
    ASSERT_EQ(nb::kernel::OpenFile(u"\\DosDevices\\C:", {}, &fileObject), STATUS_SUCCESS);
    ASSERT_EQ(handles.Insert(1200, false, fileObject, *IoFileObjectType, FILE_READ_DATA, &file), STATUS_SUCCESS);
    EXPECT_LE(reinterpret_cast<ULONG_PTR>(file), 0xFFFFFFFFu);

    PVOID object;
    EXPECT_EQ(ObReferenceObjectByHandle(file, 0, *ExEventObjectType, UserMode, &object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(ObReferenceObjectByHandle(event, 0, *ExEventObjectType, UserMode, &object, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(object);
    EXPECT_EQ(nb::kernel::NtSetEvent(file, nullptr), STATUS_OBJECT_TYPE_MISMATCH);
    for (HANDLE bogus : {HANDLE(nullptr), reinterpret_cast<HANDLE>(ULONG_PTR{6}), reinterpret_cast<HANDLE>(ULONG_PTR{4000}),
                         reinterpret_cast<HANDLE>(ULONG_PTR{0x100000004})}) {
      EXPECT_EQ(ObReferenceObjectByHandle(bogus, 0, nullptr, UserMode, &object, nullptr), STATUS_INVALID_HANDLE);
    }
  }
  {
    nb::kernel::ProcessScope scope(other);
    PVOID object;
    EXPECT_EQ(ObReferenceObjectByHandle(event, 0, nullptr, UserMode, &object, nullptr), STATUS_INVALID_HANDLE);
    EXPECT_EQ(nb::kernel::NtClose(event), STATUS_INVALID_HANDLE);
  }
  nb::kernel::ProcessScope scope(owner);
  EXPECT_EQ(nb::kernel::NtClose(event), STATUS_SUCCESS);
  EXPECT_EQ(nb::kernel::NtClose(event), STATUS_INVALID_HANDLE);
  HANDLE reused;
  ASSERT_EQ(nb::kernel::NtCreateEvent(&reused, EVENT_ALL_ACCESS, u"", NotificationEvent, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(reused, event) << "the lowest free handle is used again";
  // A process that ends closes its handles: the file object gets its close.
  size_t objects = machine.Kernel().References().Count();
  handles.CloseProcess(1200);
  EXPECT_EQ(handles.Count(1200), 0u);
  EXPECT_EQ(machine.Kernel().References().Count(), objects - 2);
}

TEST(HandleTableTest, WaitingOnSeveralHandles) {
  nb::testing::Machine machine;
  nb::kernel::ProcessScope scope(machine.Process("NBSvc.exe", 1000));
  HANDLE events[3];
  for (HANDLE& handle : events) {
    ASSERT_EQ(nb::kernel::NtCreateEvent(&handle, EVENT_ALL_ACCESS, u"", SynchronizationEvent, FALSE), STATUS_SUCCESS);
  }
  LARGE_INTEGER shortly = Milliseconds(10);
  EXPECT_EQ(nb::kernel::NtWaitForMultipleObjects(3, events, WaitAny, &shortly), STATUS_TIMEOUT);
  ASSERT_EQ(nb::kernel::NtSetEvent(events[2], nullptr), STATUS_SUCCESS);
  EXPECT_EQ(nb::kernel::NtWaitForMultipleObjects(3, events, WaitAny, nullptr), STATUS_WAIT_0 + 2);
  EXPECT_EQ(nb::kernel::NtWaitForMultipleObjects(0, events, WaitAny, nullptr), STATUS_INVALID_PARAMETER);
  HANDLE withBad[] = {events[0], reinterpret_cast<HANDLE>(ULONG_PTR{400})};
  EXPECT_EQ(nb::kernel::NtWaitForMultipleObjects(2, withBad, WaitAny, nullptr), STATUS_INVALID_HANDLE);
  for (HANDLE handle : events) EXPECT_EQ(nb::kernel::NtClose(handle), STATUS_SUCCESS);
}

}  // namespace
