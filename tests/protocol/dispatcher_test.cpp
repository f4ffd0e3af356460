// The machine's dispatcher: requests served in the client's process, handle values that
// mean something in their own client only, a client's objects closed when it goes, and
// waits and device controls that hold no lock of the dispatcher.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include <ntifs.h>

#include "nb/kernel/events.h"
#include "nb/kernel/handles.h"
#include "nb/protocol/protocol.h"
#include "nb/server/server.h"
#include "nb/testing/machine.h"

namespace {

using namespace nb::protocol;
using nb::server::ClientContext;
using nb::server::DispatchRequest;

constexpr uint32_t kRoot = 0;  // the Linux user of the clients
constexpr ULONG kEcho = CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kBlock = CTL_CODE(FILE_DEVICE_UNKNOWN, 2, METHOD_BUFFERED, FILE_ANY_ACCESS);

// What the probe driver saw: each request's major function and process.
struct Seen {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::pair<UCHAR, ULONG>> requests;
  bool blocked = false;
  bool release = false;

  size_t Count(UCHAR major) {
    std::lock_guard lock(mutex);
    return static_cast<size_t>(
        std::count_if(requests.begin(), requests.end(), [major](const auto& seen) { return seen.first == major; }));
  }
};
Seen* seen = nullptr;

NTSTATUS Finish(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS ProbeDispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  {
    std::lock_guard lock(seen->mutex);
    seen->requests.emplace_back(stack->MajorFunction,
                                static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId())));
  }
  if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL) return Finish(irp, STATUS_SUCCESS, 0);
  auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
  ULONG length = stack->Parameters.DeviceIoControl.InputBufferLength;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case kEcho:  // the input reversed
      std::reverse(buffer, buffer + length);
      return Finish(irp, STATUS_SUCCESS, length);
    case kBlock: {  // until the test releases it
      std::unique_lock lock(seen->mutex);
      seen->blocked = true;
      seen->changed.notify_all();
      seen->changed.wait(lock, [] { return seen->release; });
      return Finish(irp, STATUS_SUCCESS, 0);
    }
    default:
      return Finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

NTSTATUS ProbeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& routine : driver->MajorFunction) routine = ProbeDispatch;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\Probe");
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (NT_SUCCESS(status)) device->Flags &= ~DO_DEVICE_INITIALIZING;
  return status;
}

template <typename Request>
std::pair<NTSTATUS, typename Request::ReplyType> Call(ClientContext& client, const Request& request) {
  std::vector<uint8_t> message;
  EXPECT_EQ(EncodeRequest(request, &message), STATUS_SUCCESS);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  Reply reply;
  EXPECT_EQ(DecodeReply(DispatchRequest(client, message), Request::kKind, &status, &reply), STATUS_SUCCESS);
  return {status, std::get<typename Request::ReplyType>(reply)};
}

OpenObjectRequest OpenProbe() {
  OpenObjectRequest open;
  open.objectName = u"\\Device\\Probe";
  open.desiredAccess = SYNCHRONIZE;
  open.disposition = 1;
  return open;
}

class Dispatcher : public ::testing::Test {
 protected:
  void SetUp() override {
    seen = &seen_;
    ASSERT_EQ(machine.LoadDriver(u"\\Driver\\Probe", ProbeEntry), STATUS_SUCCESS);
  }
  void TearDown() override { seen = nullptr; }

  uint64_t Open(ClientContext& client) {
    auto [status, reply] = Call(client, OpenProbe());
    EXPECT_EQ(status, STATUS_SUCCESS);
    return reply.object;
  }
  uint64_t CreateEvent(ClientContext& client, uint32_t handle, const std::u16string& name = {}) {
    CreateEventRequest create;
    create.handle = handle;
    create.objectName = name;
    auto [status, reply] = Call(client, create);
    EXPECT_EQ(status, STATUS_SUCCESS);
    return reply.object;
  }
  ULONG HandlesOf(ULONG processId) { return static_cast<ULONG>(machine.Kernel().Handles().Count(processId)); }

  Seen seen_;
  nb::testing::Machine machine;
  PEPROCESS service = machine.Process("NBSvc.exe", 1000);
  PEPROCESS other = machine.Process("other.exe", 1300);
};

// Ownership is the client process's thread's; a client that goes abandons what it owns.
TEST_F(Dispatcher, MutantsAreOwnedPerClientAndAbandonedWhenTheClientGoes) {
  ClientContext owner(service, kRoot);
  ClientContext waiter(other, kRoot);
  CreateMutantRequest create{.handle = 40, .initialOwner = true, .objectName = u"\\BaseNamedObjects\\NbServed"};
  auto [created, mutant] = Call(owner, create);
  ASSERT_EQ(created, STATUS_SUCCESS);
  auto [existed, opened] = Call(waiter, create);
  ASSERT_EQ(existed, STATUS_OBJECT_NAME_EXISTS) << "opens it; the initial owner is ignored";
  auto [again, openedAgain] = Call(waiter, OpenMutantRequest{.handle = 44, .desiredAccess = SYNCHRONIZE,
                                                            .objectName = u"\\BaseNamedObjects\\NbServed"});
  ASSERT_EQ(again, STATUS_SUCCESS);

  // Same thread, other process: not the owner.
  EXPECT_EQ(Call(waiter, ReleaseMutantRequest{opened.object}).first, STATUS_MUTANT_NOT_OWNED);
  EXPECT_EQ(Call(waiter, WaitForObjectsRequest{.objects = {opened.object}, .hasTimeout = true}).first,
            STATUS_TIMEOUT);
  // The owner takes it again, and releases it as often.
  EXPECT_EQ(Call(owner, WaitForObjectsRequest{.objects = {mutant.object}, .hasTimeout = true}).first, STATUS_WAIT_0);
  auto [released, count] = Call(owner, ReleaseMutantRequest{mutant.object});
  EXPECT_EQ(released, STATUS_SUCCESS);
  EXPECT_EQ(count.previousCount, -1);

  // Only mutants release; values name objects of their own client only.
  uint64_t probe = Open(owner);
  uint64_t event = CreateEvent(owner, 48);
  EXPECT_EQ(Call(owner, ReleaseMutantRequest{probe}).first, STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(Call(owner, ReleaseMutantRequest{event}).first, STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(Call(owner, ReleaseMutantRequest{1000}).first, STATUS_INVALID_HANDLE);

  owner.CloseAll();
  EXPECT_EQ(Call(waiter, WaitForObjectsRequest{.objects = {openedAgain.object, opened.object}, .hasTimeout = true})
                .first,
            STATUS_ABANDONED_WAIT_0);
  EXPECT_EQ(Call(waiter, WaitForObjectsRequest{.objects = {opened.object}, .hasTimeout = true}).first, STATUS_WAIT_0)
      << "abandoned is said once";
  EXPECT_EQ(Call(waiter, ReleaseMutantRequest{opened.object}).first, STATUS_SUCCESS);
  EXPECT_EQ(Call(waiter, ReleaseMutantRequest{opened.object}).first, STATUS_SUCCESS);
  EXPECT_EQ(Call(waiter, ReleaseMutantRequest{opened.object}).first, STATUS_MUTANT_NOT_OWNED);
}

TEST_F(Dispatcher, ServesEachRequestInTheClientsProcess) {
  ClientContext client(service, kRoot);
  uint64_t probe = Open(client);
  EXPECT_EQ(probe, 4u) << "values are small multiples of four";

  DeviceControlRequest echo;
  echo.object = probe;
  echo.code = kEcho;
  echo.input = {1, 2, 3};
  echo.outputLength = 2;
  auto [status, reply] = Call(client, echo);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(reply.returned, 3u);
  EXPECT_EQ(reply.output, (std::vector<uint8_t>{3, 2})) << "no more than the output holds";

  QueryVolumeInformationRequest query;
  query.object = probe;
  query.informationClass = FileFsDeviceInformation;
  query.length = sizeof(FILE_FS_DEVICE_INFORMATION);
  auto [queried, volume] = Call(client, query);
  ASSERT_EQ(queried, STATUS_SUCCESS);
  ASSERT_EQ(volume.buffer.size(), sizeof(FILE_FS_DEVICE_INFORMATION));
  FILE_FS_DEVICE_INFORMATION device;
  std::memcpy(&device, volume.buffer.data(), sizeof device);
  EXPECT_EQ(device.DeviceType, static_cast<decltype(device.DeviceType)>(FILE_DEVICE_UNKNOWN));
  for (uint32_t informationClass : {0u, static_cast<uint32_t>(FileFsMaximumInformation), 0x800001u}) {
    query.informationClass = informationClass;
    EXPECT_EQ(Call(client, query).first, STATUS_INVALID_INFO_CLASS) << informationClass;
  }

  EXPECT_EQ(Call(client, CloseObjectRequest{probe}).first, STATUS_SUCCESS);
  EXPECT_EQ(Call(client, CloseObjectRequest{probe}).first, STATUS_INVALID_HANDLE);
  std::lock_guard lock(seen_.mutex);
  std::vector<std::pair<UCHAR, ULONG>> expected = {
      {IRP_MJ_CREATE, 1000}, {IRP_MJ_DEVICE_CONTROL, 1000}, {IRP_MJ_CLEANUP, 1000}, {IRP_MJ_CLOSE, 1000}};
  EXPECT_EQ(seen_.requests, expected);
}

TEST_F(Dispatcher, HandleValuesOfOneClientMeanNothingInAnother) {
  ClientContext owner(service, kRoot);
  ClientContext stranger(other, kRoot);
  uint64_t probe = Open(owner);
  uint64_t event = CreateEvent(owner, 40);
  ASSERT_NE(probe, event);

  DeviceControlRequest control;
  control.object = probe;
  control.code = kEcho;
  QueryVolumeInformationRequest query;
  query.object = probe;
  query.informationClass = FileFsDeviceInformation;
  query.length = sizeof(FILE_FS_DEVICE_INFORMATION);
  WaitForObjectsRequest wait;
  wait.objects = {event};
  wait.hasTimeout = true;
  for (uint64_t value : {probe, event}) {
    control.object = query.object = value;
    wait.objects = {value};
    EXPECT_EQ(Call(stranger, control).first, STATUS_INVALID_HANDLE);
    EXPECT_EQ(Call(stranger, query).first, STATUS_INVALID_HANDLE);
    EXPECT_EQ(Call(stranger, SetEventRequest{value, true}).first, STATUS_INVALID_HANDLE);
    EXPECT_EQ(Call(stranger, wait).first, STATUS_INVALID_HANDLE);
    EXPECT_EQ(Call(stranger, CloseObjectRequest{value}).first, STATUS_INVALID_HANDLE);
  }
  // Nor do values never handed out, or the kernel handle value behind the event.
  for (uint64_t value : {uint64_t{0}, uint64_t{2}, uint64_t{40}, uint64_t{4} << 32, ~uint64_t{0}}) {
    control.object = value;
    EXPECT_EQ(Call(owner, control).first, STATUS_INVALID_HANDLE) << value;
    EXPECT_EQ(Call(owner, CloseObjectRequest{value}).first, STATUS_INVALID_HANDLE) << value;
  }
  // A value of the other kind of object is refused by the request for it.
  control.object = event;
  EXPECT_EQ(Call(owner, control).first, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(Call(owner, SetEventRequest{probe, true}).first, STATUS_OBJECT_TYPE_MISMATCH);

  EXPECT_EQ(seen_.Count(IRP_MJ_CLEANUP), 0u) << "the stranger closed nothing";
  EXPECT_EQ(owner.Count(), 2u);
  EXPECT_EQ(Call(owner, SetEventRequest{event, true}).first, STATUS_SUCCESS);
  wait.objects = {event};
  EXPECT_EQ(Call(owner, wait).first, STATUS_WAIT_0);
}

TEST_F(Dispatcher, AClientThatGoesAwayLeavesNothingOpen) {
  {
    ClientContext client(service, kRoot);
    Open(client);
    Open(client);
    CreateEvent(client, 8, u"\\BaseNamedObjects\\NbLeft");
    EXPECT_EQ(HandlesOf(1000), 1u);
    client.CloseAll();
    EXPECT_EQ(client.Count(), 0u);
    EXPECT_EQ(seen_.Count(IRP_MJ_CLEANUP), 2u);
    EXPECT_EQ(seen_.Count(IRP_MJ_CLOSE), 2u);
    EXPECT_EQ(HandlesOf(1000), 0u);
    HANDLE handle;
    EXPECT_EQ(nb::kernel::NtOpenEvent(&handle, SYNCHRONIZE, u"\\BaseNamedObjects\\NbLeft"),
              STATUS_OBJECT_NAME_NOT_FOUND);

    // A request racing with the end is served, but what it opens does not outlive it.
    EXPECT_EQ(Call(client, OpenProbe()).first, STATUS_PROCESS_IS_TERMINATING);
    EXPECT_EQ(seen_.Count(IRP_MJ_CREATE), 3u);
    EXPECT_EQ(seen_.Count(IRP_MJ_CLOSE), 3u);
    CreateEventRequest create;
    create.handle = 12;
    EXPECT_EQ(Call(client, create).first, STATUS_PROCESS_IS_TERMINATING);
    EXPECT_EQ(HandlesOf(1000), 0u);
  }
  {
    ClientContext client(service, kRoot);
    Open(client);
  }
  EXPECT_EQ(seen_.Count(IRP_MJ_CLOSE), 4u) << "the context closes what is left when it goes";
  std::lock_guard lock(seen_.mutex);
  for (const auto& [major, process] : seen_.requests) EXPECT_EQ(process, 1000u) << "closed in the client's process";
}

TEST_F(Dispatcher, MalformedRequestsAreRefusedAndServeNothing) {
  ClientContext client(service, kRoot);
  std::vector<uint8_t> open;
  ASSERT_EQ(EncodeRequest(OpenProbe(), &open), STATUS_SUCCESS);
  std::vector<uint8_t> truncated(open.begin(), open.end() - 1);
  std::vector<uint8_t> otherVersion = open;
  otherVersion[4] = 9;
  struct Case {
    std::vector<uint8_t> message;
    NTSTATUS status;
  };
  for (const Case& c : {Case{truncated, STATUS_INVALID_PARAMETER}, Case{otherVersion, STATUS_REVISION_MISMATCH},
                        Case{{}, STATUS_INVALID_PARAMETER}}) {
    NTSTATUS status;
    Reply reply;
    ASSERT_EQ(DecodeReply(DispatchRequest(client, c.message), Kind::kOpenObject, &status, &reply),
              c.message.empty() ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS);
    if (!c.message.empty()) {
      EXPECT_EQ(status, c.status);
    }
  }
  EXPECT_EQ(seen_.Count(IRP_MJ_CREATE), 0u);
  EXPECT_EQ(client.Count(), 0u);
}

TEST_F(Dispatcher, AWaitHoldsUpNoOtherRequest) {
  ClientContext client(service, kRoot);
  uint64_t event = CreateEvent(client, 8);
  uint64_t probe = Open(client);
  std::atomic<NTSTATUS> waited = STATUS_PENDING;
  std::thread waiter([&] {
    WaitForObjectsRequest wait;
    wait.objects = {event};
    waited = Call(client, wait).first;
  });
  PVOID object;
  {
    nb::kernel::ProcessScope scope(service);
    ASSERT_EQ(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(8), 0, nullptr, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (nb::kernel::WaitingThreads(static_cast<PKEVENT>(object)) == 0) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    std::this_thread::yield();
  }
  ObDereferenceObject(object);
  // The same client and another are served meanwhile.
  DeviceControlRequest echo;
  echo.object = probe;
  echo.code = kEcho;
  EXPECT_EQ(Call(client, echo).first, STATUS_SUCCESS);
  ClientContext stranger(other, kRoot);
  EXPECT_EQ(Call(stranger, OpenProbe()).first, STATUS_SUCCESS);
  EXPECT_EQ(waited.load(), STATUS_PENDING);
  EXPECT_EQ(Call(client, SetEventRequest{event, true}).first, STATUS_SUCCESS);
  waiter.join();
  EXPECT_EQ(waited.load(), STATUS_WAIT_0);
}

TEST_F(Dispatcher, ACloseDuringADeviceControlFreesTheFileOnlyAfterIt) {
  ClientContext client(service, kRoot);
  uint64_t probe = Open(client);
  std::thread control([&] {
    DeviceControlRequest block;
    block.object = probe;
    block.code = kBlock;
    EXPECT_EQ(Call(client, block).first, STATUS_SUCCESS);
  });
  {
    std::unique_lock lock(seen_.mutex);
    seen_.changed.wait(lock, [&] { return seen_.blocked; });
  }
  EXPECT_EQ(Call(client, CloseObjectRequest{probe}).first, STATUS_SUCCESS);
  EXPECT_EQ(seen_.Count(IRP_MJ_CLEANUP), 1u);
  EXPECT_EQ(seen_.Count(IRP_MJ_CLOSE), 0u) << "the request in flight holds the file object";
  {
    std::lock_guard lock(seen_.mutex);
    seen_.release = true;
    seen_.changed.notify_all();
  }
  control.join();
  EXPECT_EQ(seen_.Count(IRP_MJ_CLOSE), 1u);
}

}  // namespace
