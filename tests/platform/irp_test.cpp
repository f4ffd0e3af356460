// The life of a request through a device stack: stack locations, completion routines
// from the bottom up, pending propagation and attachment.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "nb/kernel/file_requests.h"
#include "nb/kernel/io.h"
#include "nb/testing/machine.h"

namespace {

std::vector<std::string> trace;

NTSTATUS BottomDispatch(PDEVICE_OBJECT, PIRP irp) {
  trace.push_back("bottom");
  irp->IoStatus.Status = IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ ? STATUS_ACCESS_DENIED
                                                                                         : STATUS_SUCCESS;
  irp->IoStatus.Information = 7;
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS FilterCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  trace.push_back(std::string("completion:") + static_cast<const char*>(context));
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

struct FilterExtension {
  PDEVICE_OBJECT lower;
};

NTSTATUS FilterDispatch(PDEVICE_OBJECT device, PIRP irp) {
  trace.push_back("filter");
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, FilterCompletion, const_cast<char*>("success-only"), TRUE, FALSE, FALSE);
  return IoCallDriver(static_cast<FilterExtension*>(device->DeviceExtension)->lower, irp);
}

NTSTATUS BottomEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& routine : driver->MajorFunction) routine = BottomDispatch;
  return STATUS_SUCCESS;
}

NTSTATUS FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& routine : driver->MajorFunction) routine = FilterDispatch;
  return STATUS_SUCCESS;
}

TEST(IrpTest, FilterSeesRequestsAndCompletionsOnlyAsAsked) {
  nb::testing::Machine machine;
  PDRIVER_OBJECT bottom;
  PDRIVER_OBJECT filter;
  ASSERT_EQ(machine.LoadDriver(u"\\Driver\\Bottom", BottomEntry, &bottom), STATUS_SUCCESS);
  ASSERT_EQ(machine.LoadDriver(u"\\Driver\\Filter", FilterEntry, &filter), STATUS_SUCCESS);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\Bottom");
  PDEVICE_OBJECT bottomDevice;
  ASSERT_EQ(IoCreateDevice(bottom, 0, &name, FILE_DEVICE_DISK, 0, FALSE, &bottomDevice), STATUS_SUCCESS);
  PDEVICE_OBJECT filterDevice;
  ASSERT_EQ(IoCreateDevice(filter, sizeof(FilterExtension), nullptr, FILE_DEVICE_DISK, 0, FALSE, &filterDevice),
            STATUS_SUCCESS);
  auto* extension = static_cast<FilterExtension*>(filterDevice->DeviceExtension);
  extension->lower = IoAttachDeviceToDeviceStack(filterDevice, bottomDevice);
  ASSERT_EQ(extension->lower, bottomDevice);
  EXPECT_EQ(filterDevice->StackSize, 2);
  EXPECT_EQ(IoGetAttachedDevice(bottomDevice), filterDevice);

  trace.clear();
  PFILE_OBJECT file;
  ASSERT_EQ(nb::kernel::OpenFile(u"\\Device\\Bottom\\a", {}, &file), STATUS_SUCCESS);
  EXPECT_EQ(trace, (std::vector<std::string>{"filter", "bottom", "completion:success-only"}));
  EXPECT_EQ(std::u16string(file->FileName.Buffer, file->FileName.Length / 2), u"\\a");

  trace.clear();
  PIRP irp = nb::kernel::BuildIrp(filterDevice, file, IRP_MJ_READ, 0);
  IO_STATUS_BLOCK status{};
  EXPECT_EQ(nb::kernel::SendAndWait(filterDevice, irp, &status), STATUS_ACCESS_DENIED);
  EXPECT_EQ(status.Information, 7u);
  EXPECT_EQ(trace, (std::vector<std::string>{"filter", "bottom"}));

  nb::kernel::CloseFile(file);
  IoDetachDevice(bottomDevice);
  EXPECT_EQ(IoGetAttachedDevice(bottomDevice), bottomDevice);
}

}  // namespace

// A bottom driver that answers later from another thread, and one that cancels.
namespace {

std::vector<std::thread> completers;
bool sawPendingReturned = false;

NTSTATUS LateDispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_CREATE || stack->MajorFunction == IRP_MJ_CLEANUP ||
      stack->MajorFunction == IRP_MJ_CLOSE) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }
  const bool cancel = stack->MajorFunction == IRP_MJ_WRITE;
  IoMarkIrpPending(irp);
  completers.emplace_back([irp, cancel] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    irp->Cancel = cancel;
    irp->IoStatus.Status = cancel ? STATUS_CANCELLED : STATUS_SUCCESS;
    irp->IoStatus.Information = 3;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  });
  return STATUS_PENDING;
}

NTSTATUS PendingCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  trace.push_back(std::string("completion:") + static_cast<const char*>(context));
  sawPendingReturned = irp->PendingReturned;
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

NTSTATUS CancelOnlyFilterDispatch(PDEVICE_OBJECT device, PIRP irp) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, PendingCompletion, const_cast<char*>("cancel-only"), FALSE, FALSE, TRUE);
  return IoCallDriver(static_cast<FilterExtension*>(device->DeviceExtension)->lower, irp);
}

NTSTATUS LateEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& routine : driver->MajorFunction) routine = LateDispatch;
  return STATUS_SUCCESS;
}

NTSTATUS CancelOnlyFilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& routine : driver->MajorFunction) routine = CancelOnlyFilterDispatch;
  return STATUS_SUCCESS;
}

TEST(IrpTest, PendingRequestsCompleteLaterAndCompletionRoutinesRunAsAsked) {
  nb::testing::Machine machine;
  PDRIVER_OBJECT bottom;
  PDRIVER_OBJECT filter;
  ASSERT_EQ(machine.LoadDriver(u"\\Driver\\Late", LateEntry, &bottom), STATUS_SUCCESS);
  ASSERT_EQ(machine.LoadDriver(u"\\Driver\\CancelOnly", CancelOnlyFilterEntry, &filter), STATUS_SUCCESS);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\Late");
  PDEVICE_OBJECT bottomDevice;
  ASSERT_EQ(IoCreateDevice(bottom, 0, &name, FILE_DEVICE_DISK, 0, FALSE, &bottomDevice), STATUS_SUCCESS);
  PDEVICE_OBJECT filterDevice;
  ASSERT_EQ(IoCreateDevice(filter, sizeof(FilterExtension), nullptr, FILE_DEVICE_DISK, 0, FALSE, &filterDevice),
            STATUS_SUCCESS);
  static_cast<FilterExtension*>(filterDevice->DeviceExtension)->lower =
      IoAttachDeviceToDeviceStack(filterDevice, bottomDevice);

  PFILE_OBJECT file;
  ASSERT_EQ(nb::kernel::OpenFile(u"\\Device\\Late\\f", {}, &file), STATUS_SUCCESS);
  trace.clear();
  char buffer[4];
  ULONG transferred = 0;
  // Success: the cancel-only routine stays out; the originator waits for the late answer.
  EXPECT_EQ(nb::kernel::ReadFile(file, buffer, sizeof buffer, 0, &transferred), STATUS_SUCCESS);
  EXPECT_EQ(transferred, 3u);
  EXPECT_TRUE(trace.empty());
  // Cancelled: the routine runs and sees that the lower driver returned pending.
  EXPECT_EQ(nb::kernel::WriteFile(file, buffer, sizeof buffer, 0, &transferred), STATUS_CANCELLED);
  EXPECT_EQ(trace, std::vector<std::string>{"completion:cancel-only"});
  EXPECT_TRUE(sawPendingReturned);
  nb::kernel::CloseFile(file);
  for (auto& completer : completers) completer.join();
  completers.clear();
  IoDetachDevice(bottomDevice);
}

// What a create carries to the file system: the mapped access, the caller's subject
// context and the synchronous flag.
ACCESS_MASK seenAccess = 0;
PACCESS_TOKEN seenToken = nullptr;

NTSTATUS RecordingDispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_CREATE) {
    seenAccess = stack->Parameters.Create.SecurityContext->DesiredAccess;
    seenToken = stack->Parameters.Create.SecurityContext->AccessState->SubjectSecurityContext.PrimaryToken;
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS RecordingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& routine : driver->MajorFunction) routine = RecordingDispatch;
  return STATUS_SUCCESS;
}

TEST(IrpTest, CreateCarriesMappedAccessCallerTokenAndSynchronousFlag) {
  nb::testing::Machine machine;
  PDRIVER_OBJECT driver;
  ASSERT_EQ(machine.LoadDriver(u"\\Driver\\Recording", RecordingEntry, &driver), STATUS_SUCCESS);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\Recording");
  PDEVICE_OBJECT device;
  ASSERT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_DISK, 0, FALSE, &device), STATUS_SUCCESS);

  PEPROCESS caller = machine.Process("caller.exe", 300);
  nb::kernel::ProcessScope scope(caller);
  nb::kernel::OpenParameters parameters;
  parameters.desiredAccess = GENERIC_WRITE;
  parameters.options = FILE_SYNCHRONOUS_IO_NONALERT;
  PFILE_OBJECT file;
  ASSERT_EQ(nb::kernel::OpenFile(u"\\Device\\Recording\\f", parameters, &file), STATUS_SUCCESS);
  EXPECT_EQ(seenAccess, static_cast<ACCESS_MASK>(FILE_GENERIC_WRITE));
  EXPECT_TRUE(seenAccess & FILE_APPEND_DATA);
  EXPECT_FALSE(seenAccess & GENERIC_WRITE);
  SECURITY_SUBJECT_CONTEXT subject;
  SeCaptureSubjectContext(&subject);
  EXPECT_EQ(seenToken, SeQuerySubjectContextToken(&subject));
  SeReleaseSubjectContext(&subject);
  EXPECT_TRUE(file->Flags & FO_SYNCHRONOUS_IO);
  nb::kernel::CloseFile(file);
}

}  // namespace
