// libnbwin's side of the protocol: the request transport checks the replies it gets as
// strictly as the machine checks requests, and the in-process transport closes what
// the simulated processes leave open.
#include <algorithm>
#include <cstring>
#include <functional>

#include <gtest/gtest.h>

#include <ntifs.h>

#include "nb/kernel/handles.h"
#include "nb/kernel/kernel.h"
#include "nb/kernel/registry.h"
#include "nb/protocol/protocol.h"
#include "nb/testing/machine.h"
#include "nb/win/in_process.h"
#include "nb/win/request_transport.h"

namespace {

using namespace nb::protocol;
using Bytes = std::vector<uint8_t>;

// A channel that answers with whatever the test scripts, and keeps the last request.
class ScriptedChannel final : public nb::win::Channel {
 public:
  NTSTATUS Exchange(std::span<const uint8_t> request, Bytes* reply) override {
    ++exchanges;
    sent.assign(request.begin(), request.end());
    if (!NT_SUCCESS(failure)) return failure;
    *reply = answer;
    return STATUS_SUCCESS;
  }

  Request Sent() const {
    Request request;
    EXPECT_EQ(DecodeRequest(sent, &request), STATUS_SUCCESS);
    return request;
  }

  Bytes answer;
  NTSTATUS failure = STATUS_SUCCESS;
  Bytes sent;
  int exchanges = 0;
};

TEST(RequestTransport, DeviceControlCarriesItsArgumentsAndTheDriversAnswer) {
  ScriptedChannel channel;
  nb::win::RequestTransport transport(channel);
  channel.answer = EncodeReply(STATUS_BUFFER_OVERFLOW, DeviceControlReply{.returned = 7, .output = {9, 8}});
  uint8_t input[] = {1, 2, 3};
  uint8_t output[4] = {};
  ULONG returned = 0;
  EXPECT_EQ(transport.DeviceControl(4, 0x222003, input, 3, output, sizeof output, &returned), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(returned, 7u);
  EXPECT_EQ(output[0], 9);
  EXPECT_EQ(output[1], 8);
  EXPECT_EQ(output[2], 0);
  auto sent = std::get<DeviceControlRequest>(channel.Sent());
  EXPECT_EQ(sent.object, 4u);
  EXPECT_EQ(sent.code, 0x222003u);
  EXPECT_EQ(sent.outputLength, 4u);
  EXPECT_EQ(sent.input, (Bytes{1, 2, 3}));
}

TEST(RequestTransport, RepliesThatDoNotFitTheCallAreRefused) {
  ScriptedChannel channel;
  nb::win::RequestTransport transport(channel);
  uint8_t output[2] = {0x55, 0x55};
  ULONG returned = 99;
  struct Case {
    const char* what;
    Bytes answer;
  };
  Bytes truncated = EncodeReply(STATUS_SUCCESS, DeviceControlReply{.returned = 1, .output = {1}});
  truncated.pop_back();
  const Case cases[] = {
      {"more output than the caller has room for",
       EncodeReply(STATUS_SUCCESS, DeviceControlReply{.returned = 3, .output = {1, 2, 3}})},
      {"the reply of another request", EncodeReply(STATUS_SUCCESS, OpenObjectReply{.object = 4})},
      {"a truncated reply", truncated},
      {"no reply at all", {}},
  };
  for (const Case& c : cases) {
    channel.answer = c.answer;
    EXPECT_EQ(transport.DeviceControl(4, 1, nullptr, 0, output, sizeof output, &returned), STATUS_INVALID_PARAMETER)
        << c.what;
    EXPECT_EQ(returned, 0u) << c.what;
    EXPECT_EQ(output[0], 0x55) << c.what;
  }

  channel.answer = EncodeReply(STATUS_SUCCESS, QueryVolumeInformationReply{.returned = 3, .buffer = {1, 2, 3}});
  EXPECT_EQ(transport.QueryVolumeInformation(4, 1, output, sizeof output, &returned), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(output[0], 0x55);
}

TEST(RequestTransport, WhatCannotBeSentIsRefusedBeforeItIs) {
  ScriptedChannel channel;
  nb::win::RequestTransport transport(channel);
  Bytes big(kMaxBufferBytes + 1);
  ULONG returned;
  EXPECT_EQ(transport.DeviceControl(4, 1, big.data(), static_cast<ULONG>(big.size()), nullptr, 0, &returned),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(transport.DeviceControl(4, 1, nullptr, 0, big.data(), static_cast<ULONG>(big.size()), &returned),
            STATUS_INVALID_PARAMETER);
  std::vector<nb::win::TransportObject> objects(kMaxWaitObjects + 1, 4);
  EXPECT_EQ(transport.WaitForObjects(objects.data(), static_cast<ULONG>(objects.size()), false, nullptr),
            STATUS_INVALID_PARAMETER);
  nb::win::TransportObject object;
  EXPECT_EQ(transport.CreateEventObject(reinterpret_cast<HANDLE>(uintptr_t{1} << 33), u"", false, false, &object),
            STATUS_INVALID_HANDLE);
  std::u16string target;
  EXPECT_EQ(transport.QuerySymbolicLink(std::u16string(kMaxNameUnits + 1, u'a'), &target), STATUS_INVALID_PARAMETER);
  // Registry data longer than a message carries is refused whole, with its own status.
  Bytes value(kMaxValueDataBytes + 1);
  EXPECT_EQ(transport.SetRegistryValue(4, u"v", REG_BINARY, value.data(), static_cast<ULONG>(value.size())),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(transport.SetRegistryValue(4, u"v", REG_BINARY, nullptr, 4), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(transport.SetRegistryValue(4, std::u16string(kMaxValueNameUnits + 1, u'v'), REG_BINARY, value.data(), 4),
            STATUS_INVALID_PARAMETER);
  ULONG disposition;
  EXPECT_EQ(transport.OpenRegistryKey(0, nb::RegistryRoot::kLocalMachine, std::u16string(kMaxNameUnits + 1, u'k'),
                                      KEY_READ, false, &object, &disposition),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(channel.exchanges, 0);

  channel.failure = STATUS_NO_SUCH_DEVICE;
  EXPECT_EQ(transport.QuerySymbolicLink(u"\\DosDevices\\C:", &target), STATUS_NO_SUCH_DEVICE);
}

TEST(RequestTransport, RegistryCallsCarryTheirArgumentsAndTheAnswers) {
  ScriptedChannel channel;
  nb::win::RequestTransport transport(channel);
  channel.answer = EncodeReply(STATUS_SUCCESS, OpenRegistryKeyReply{.key = 12, .disposition = REG_CREATED_NEW_KEY});
  nb::win::TransportObject key = 0;
  ULONG disposition = 0;
  ASSERT_EQ(transport.OpenRegistryKey(8, nb::RegistryRoot::kCurrentUser, u"Software\\Nimbra", KEY_WRITE, true, &key,
                                      &disposition),
            STATUS_SUCCESS);
  EXPECT_EQ(key, 12u);
  EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
  EXPECT_EQ(std::get<OpenRegistryKeyRequest>(channel.Sent()),
            (OpenRegistryKeyRequest{.parent = 8,
                                    .root = static_cast<uint32_t>(nb::RegistryRoot::kCurrentUser),
                                    .desiredAccess = KEY_WRITE,
                                    .create = true,
                                    .subKey = u"Software\\Nimbra"}));

  uint8_t data[] = {1, 2, 3};
  channel.answer = EncodeReply(STATUS_SUCCESS, SetRegistryValueReply{});
  ASSERT_EQ(transport.SetRegistryValue(12, u"Bin", REG_BINARY, data, sizeof data), STATUS_SUCCESS);
  EXPECT_EQ(std::get<SetRegistryValueRequest>(channel.Sent()),
            (SetRegistryValueRequest{.key = 12, .type = REG_BINARY, .name = u"Bin", .data = {1, 2, 3}}));

  channel.answer =
      EncodeReply(STATUS_SUCCESS, EnumerateRegistryValueReply{.name = u"Bin", .type = REG_BINARY, .data = {1, 2, 3}});
  std::u16string name;
  ULONG type = 0;
  std::vector<BYTE> bytes;
  ASSERT_EQ(transport.EnumerateRegistryValue(12, 5, &name, &type, &bytes), STATUS_SUCCESS);
  EXPECT_EQ(std::get<EnumerateRegistryValueRequest>(channel.Sent()).index, 5u);
  EXPECT_EQ(name, u"Bin");
  EXPECT_EQ(type, static_cast<ULONG>(REG_BINARY));
  EXPECT_EQ(bytes, (std::vector<BYTE>{1, 2, 3}));

  // The end of an enumeration is a warning without results.
  channel.answer = EncodeReply(STATUS_NO_MORE_ENTRIES, EnumerateRegistryKeyReply{});
  name = u"kept";
  LONGLONG written = 7;
  EXPECT_EQ(transport.EnumerateRegistryKey(12, 9, &name, &written), STATUS_NO_MORE_ENTRIES);
  EXPECT_EQ(name, u"kept");

  channel.answer = EncodeReply(STATUS_SUCCESS, QueryRegistryKeyReply{.subKeys = 1,
                                                                     .maxSubKeyNameLength = 2,
                                                                     .values = 3,
                                                                     .maxValueNameLength = 4,
                                                                     .maxValueDataLength = 5,
                                                                     .lastWriteTime = 6});
  nb::RegistryKeyInfo info;
  ASSERT_EQ(transport.QueryRegistryKey(12, &info), STATUS_SUCCESS);
  EXPECT_EQ(info.subKeys + info.maxSubKeyNameLength + info.values + info.maxValueNameLength + info.maxValueDataLength,
            15u);
  EXPECT_EQ(info.lastWriteTime, 6);

  // A reply to another request is no answer.
  channel.answer = EncodeReply(STATUS_SUCCESS, SetRegistryValueReply{});
  EXPECT_EQ(transport.DeleteRegistryValue(12, u"Bin"), STATUS_INVALID_PARAMETER);
}

// The in-process transport over a machine with a device that records its requests.
std::vector<UCHAR> majors;
std::vector<ULONG> processes;

NTSTATUS RecordDispatch(PDEVICE_OBJECT, PIRP irp) {
  majors.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
  processes.push_back(static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId())));
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS RecordEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& routine : driver->MajorFunction) routine = RecordDispatch;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\Record");
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (NT_SUCCESS(status)) device->Flags &= ~DO_DEVICE_INITIALIZING;
  return status;
}

class InProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    majors.clear();
    processes.clear();
    ASSERT_EQ(machine.LoadDriver(u"\\Driver\\Record", RecordEntry), STATUS_SUCCESS);
  }

  static nb::win::ObjectOpen RecordOpen() {
    nb::win::ObjectOpen open;
    open.objectName = u"\\Device\\Record";
    open.desiredAccess = SYNCHRONIZE;
    open.disposition = 1;
    return open;
  }

  nb::testing::Machine machine;
  PEPROCESS service = machine.Process("NBSvc.exe", 1000);
};

TEST_F(InProcess, EachObjectIsServedInTheProcessThatOpenedIt) {
  nb::win::InProcessTransport transport;
  nb::win::TransportObject object;
  {
    nb::kernel::ProcessScope scope(service);
    ASSERT_EQ(transport.OpenObject(RecordOpen(), &object), STATUS_SUCCESS);
  }
  EXPECT_EQ(transport.ObjectsHeldBy(1000), 1u);
  EXPECT_EQ(transport.ObjectsHeldBy(nb::kernel::kSystemProcessId), 0u);
  ULONG returned;
  EXPECT_EQ(transport.DeviceControl(object, 1, nullptr, 0, nullptr, 0, &returned), STATUS_SUCCESS);
  transport.CloseObject(object);
  EXPECT_EQ(transport.ObjectsHeldBy(1000), 0u);
  EXPECT_EQ(majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
  EXPECT_EQ(processes, (std::vector<ULONG>{1000, 1000, 1000, 1000}));
}

TEST_F(InProcess, TheTransportClosesWhatTheProcessesLeftOpen) {
  {
    nb::win::InProcessTransport transport;
    nb::win::TransportObject object;
    ASSERT_EQ(transport.OpenObject(RecordOpen(), &object), STATUS_SUCCESS);
    nb::kernel::ProcessScope scope(service);
    ASSERT_EQ(transport.OpenObject(RecordOpen(), &object), STATUS_SUCCESS);
    ASSERT_EQ(transport.CreateEventObject(reinterpret_cast<HANDLE>(8), u"", true, false, &object), STATUS_SUCCESS);
    EXPECT_EQ(machine.Kernel().Handles().Count(1000), 1u);
  }
  EXPECT_EQ(std::count(majors.begin(), majors.end(), IRP_MJ_CLOSE), 2);
  EXPECT_EQ(machine.Kernel().Handles().Count(1000), 0u);
}

TEST_F(InProcess, KeysAreObjectsOfTheProcessAndActAsTheTransportsUser) {
  PEPROCESS other = machine.Process("other.exe", 1300);
  nb::win::InProcessTransport transport;
  transport.ActAsUser(0);
  nb::win::TransportObject machineKey = 0;
  nb::win::TransportObject below = 0;
  ULONG disposition;
  {
    nb::kernel::ProcessScope scope(service);
    ASSERT_EQ(transport.OpenRegistryKey(0, nb::RegistryRoot::kLocalMachine, u"SOFTWARE\\Nimbra", KEY_ALL_ACCESS,
                                        true, &machineKey, &disposition),
              STATUS_SUCCESS);
  }
  EXPECT_EQ(transport.ObjectsHeldBy(1000), 1u);
  // A key below another process's key is that process's, like the parent.
  {
    nb::kernel::ProcessScope scope(other);
    ASSERT_EQ(transport.OpenRegistryKey(machineKey, nb::RegistryRoot::kAbsolute, u"Sub", KEY_ALL_ACCESS, true, &below,
                                        &disposition),
              STATUS_SUCCESS);
  }
  EXPECT_EQ(transport.ObjectsHeldBy(1000), 2u);
  EXPECT_EQ(transport.ObjectsHeldBy(1300), 0u);

  // The user set later holds for the processes already served too.
  transport.ActAsUser(1000);
  EXPECT_EQ(transport.User(), 1000u);
  nb::win::TransportObject denied = 0;
  {
    nb::kernel::ProcessScope scope(service);
    EXPECT_EQ(transport.OpenRegistryKey(0, nb::RegistryRoot::kLocalMachine, u"SOFTWARE\\Nimbra", KEY_SET_VALUE,
                                        false, &denied, &disposition),
              STATUS_ACCESS_DENIED);
  }
  DWORD one = 1;
  EXPECT_EQ(transport.SetRegistryValue(below, u"v", REG_DWORD, &one, sizeof one), STATUS_SUCCESS)
      << "the key keeps the rights it was opened with";
  transport.CloseObject(below);
  EXPECT_EQ(transport.ObjectsHeldBy(1000), 1u);
  EXPECT_EQ(machine.Kernel().Registry().OpenKeyCount(), 1u);
}

TEST_F(InProcess, TheTransportClosesTheKeysLeftOpen) {
  {
    nb::win::InProcessTransport transport;
    transport.ActAsUser(0);
    nb::kernel::ProcessScope scope(service);
    nb::win::TransportObject key;
    ULONG disposition;
    ASSERT_EQ(transport.OpenRegistryKey(0, nb::RegistryRoot::kCurrentUser, u"Software", KEY_READ, true, &key,
                                        &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(machine.Kernel().Registry().OpenKeyCount(), 1u);
  }
  EXPECT_EQ(machine.Kernel().Registry().OpenKeyCount(), 0u);
}

TEST(InProcessWithoutMachine, RequestsFindNoDevice) {
  nb::win::InProcessTransport transport;
  nb::win::TransportObject object;
  EXPECT_EQ(transport.OpenObject(nb::win::ObjectOpen{u"\\Device\\X"}, &object), STATUS_NO_SUCH_DEVICE);
  std::vector<std::u16string> names;
  EXPECT_EQ(transport.ListDirectory(u"\\DosDevices", &names), STATUS_NO_SUCH_DEVICE);
}

}  // namespace
