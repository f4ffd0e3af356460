// CreateFileW, DeviceIoControl and CloseHandle on a device of a machine, in process and
// over its socket. The test includes the Win32 and the kernel headers together, as
// in-process tests do.
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <ntifs.h>
#include <windows.h>

#include "nb/testing/machine.h"
#include "nb/win/handle_table.h"
#include "nb/testing/carrier.h"

namespace {

constexpr ULONG kEcho = CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kDeny = CTL_CODE(FILE_DEVICE_UNKNOWN, 2, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kOverflow = CTL_CODE(FILE_DEVICE_UNKNOWN, 3, METHOD_BUFFERED, FILE_ANY_ACCESS);

// What the probe driver saw.
struct Seen {
  std::vector<UCHAR> majors;
  ULONG createOptions = 0;
  ACCESS_MASK createAccess = 0;
  USHORT createShare = 0;
  ULONG processId = 0;
};
Seen seen;

NTSTATUS Finish(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS ProbeDispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  seen.majors.push_back(stack->MajorFunction);
  seen.processId = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId()));
  if (stack->MajorFunction == IRP_MJ_CREATE) {
    seen.createOptions = stack->Parameters.Create.Options;
    seen.createAccess = stack->Parameters.Create.SecurityContext->DesiredAccess;
    seen.createShare = stack->Parameters.Create.ShareAccess;
  }
  if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL) return Finish(irp, STATUS_SUCCESS, 0);
  auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
  ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case kEcho:  // the input reversed, as many bytes as came in
      for (ULONG i = 0; i < inputLength / 2; ++i) std::swap(buffer[i], buffer[inputLength - 1 - i]);
      return Finish(irp, STATUS_SUCCESS, inputLength);
    case kDeny:
      return Finish(irp, STATUS_ACCESS_DENIED, 0);
    case kOverflow:
      std::memcpy(buffer, "part", 4);
      return Finish(irp, STATUS_BUFFER_OVERFLOW, 4);
    default:
      return Finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

NTSTATUS ProbeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& routine : driver->MajorFunction) routine = ProbeDispatch;
  UNICODE_STRING name;
  UNICODE_STRING link;
  RtlInitUnicodeString(&name, u"\\Device\\Probe");
  RtlInitUnicodeString(&link, u"\\DosDevices\\Probe");
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return IoCreateSymbolicLink(&link, &name);
}

using nb::testing::Carrier;

class DeviceCalls : public ::testing::TestWithParam<Carrier> {
 protected:
  void SetUp() override {
    seen = Seen{};
    ASSERT_EQ(machine.LoadDriver(u"\\Driver\\Probe", ProbeEntry), STATUS_SUCCESS);
    carrier = std::make_unique<nb::testing::CarriedTransport>(machine.Kernel(), GetParam());
    ASSERT_TRUE(carrier->Ready());
  }
  void TearDown() override { carrier.reset(); }

  HANDLE OpenProbe() {
    return CreateFileW(u"\\\\.\\Probe", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
  }

  nb::testing::Machine machine;
  std::unique_ptr<nb::testing::CarriedTransport> carrier;
};

TEST_P(DeviceCalls, OpenSendsCreateAsTheCallingProcessWithA32BitHandle) {
  // In process the calls are the service's; over the socket, this program's.
  std::optional<nb::kernel::ProcessScope> as;
  if (!carrier->OverSocket()) as.emplace(machine.Process("NBSvc.exe", 1234));
  HANDLE device = OpenProbe();
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  auto value = reinterpret_cast<uintptr_t>(device);
  EXPECT_EQ(value % 4, 0u);
  EXPECT_LE(value, 0xFFFFFFFFu);
  EXPECT_EQ(seen.majors, std::vector<UCHAR>{IRP_MJ_CREATE});
  EXPECT_EQ(seen.processId, carrier->OverSocket() ? carrier->CallerId() : 1234u);
  EXPECT_EQ(seen.createOptions, (1u << 24) | 0x20u | 0x40u);  // FILE_OPEN, synchronous, non-directory
  EXPECT_TRUE(seen.createAccess & FILE_READ_DATA);
  EXPECT_EQ(seen.createShare, FILE_SHARE_READ);
  EXPECT_TRUE(CloseHandle(device));
  EXPECT_EQ(seen.majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(device));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_P(DeviceCalls, BufferedControlReturnsWhatTheDriverReports) {
  HANDLE device = OpenProbe();
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  char input[] = {'a', 'b', 'c'};
  char output[8] = {};
  DWORD returned = 99;
  EXPECT_TRUE(DeviceIoControl(device, kEcho, input, 3, output, sizeof output, &returned, nullptr));
  EXPECT_EQ(returned, 3u);
  EXPECT_EQ(std::string(output), "cba");

  returned = 99;
  EXPECT_FALSE(DeviceIoControl(device, kDeny, input, 3, output, sizeof output, &returned, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(returned, 0u);

  // A warning status fails the call but still hands back the data.
  std::memset(output, 0, sizeof output);
  EXPECT_FALSE(DeviceIoControl(device, kOverflow, nullptr, 0, output, sizeof output, &returned, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(returned, 4u);
  EXPECT_EQ(std::string(output), "part");

  EXPECT_FALSE(DeviceIoControl(device, 0x12345, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  CloseHandle(device);
}

TEST_P(DeviceCalls, BadArgumentsNeverReachTheDriver) {
  HANDLE device = OpenProbe();
  seen.majors.clear();
  DWORD returned;
  OVERLAPPED overlapped{};
  EXPECT_FALSE(DeviceIoControl(device, kEcho, nullptr, 4, nullptr, 0, &returned, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(DeviceIoControl(device, kEcho, nullptr, 0, nullptr, 4, &returned, nullptr));
  EXPECT_FALSE(DeviceIoControl(device, kEcho, nullptr, 0, nullptr, 0, &returned, &overlapped));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_FALSE(DeviceIoControl(reinterpret_cast<HANDLE>(0x7000), kEcho, nullptr, 0, nullptr, 0, &returned, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(FlushFileBuffers(device));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  EXPECT_TRUE(seen.majors.empty());
  CloseHandle(device);
}

TEST_P(DeviceCalls, MissingDevicesAndAMissingMachine) {
  EXPECT_EQ(CreateFileW(u"\\\\.\\NoSuchDevice", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(CreateFileW(u"\\\\.\\Probe", GENERIC_READ, 0, nullptr, 9, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(CreateFileW(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  nb::win::SetTransport(nullptr);
  EXPECT_EQ(OpenProbe(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
}

TEST_P(DeviceCalls, UninstallingTheTransportClosesItsHandles) {
  size_t before = nb::win::ProcessHandles().Count();
  HANDLE device = OpenProbe();
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  nb::win::SetTransport(nullptr);
  EXPECT_EQ(seen.majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
  EXPECT_EQ(nb::win::ProcessHandles().Count(), before);
  EXPECT_FALSE(CloseHandle(device));
}

INSTANTIATE_TEST_SUITE_P(Carriers, DeviceCalls, ::testing::Values(Carrier::kInProcess, Carrier::kSocket),
                         [](const auto& info) { return std::string(nb::testing::NameOf(info.param)); });

}  // namespace
