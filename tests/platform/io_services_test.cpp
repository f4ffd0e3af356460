// I/O manager services for drivers: file-system registration and its change routines,
// ZwCreateFile/ZwClose, device deletion under attached devices, fast I/O of cached files
// and loading driver images.
#include <dlfcn.h>
#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "nb/kernel/driver_loader.h"
#include "nb/kernel/file_requests.h"
#include "nb/kernel/handles.h"
#include "nb/kernel/io_registrations.h"
#include "nb/kernel/io.h"
#include "nb/kernel/object_namespace.h"
#include "nb/kernel/pool.h"
#include "nb/testing/machine.h"

namespace nb::kernel {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Requests a recording driver saw, as major function numbers, and fast I/O calls.
std::vector<int> requests;
int fastReads = 0;

NTSTATUS Record(PDEVICE_OBJECT, PIRP irp) {
  requests.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}
NTSTATUS RecordingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& routine : driver->MajorFunction) routine = Record;
  return STATUS_SUCCESS;
}

// File-system change routine calls as "+device" / "-device" by device type.
std::vector<std::pair<PDEVICE_OBJECT, bool>> fsChanges;
VOID RecordFsChange(PDEVICE_OBJECT device, BOOLEAN active) { fsChanges.emplace_back(device, active != 0); }

class IoServicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    requests.clear();
    fsChanges.clear();
    fastReads = 0;
    ASSERT_EQ(machine_.LoadDriver(u"\\Driver\\Recording", RecordingEntry, &recording_), STATUS_SUCCESS);
  }
  PDEVICE_OBJECT NewDevice(const char16_t* name, ULONG type) {
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, name ? name : u"");
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(recording_, 0, name ? &deviceName : nullptr, type, 0, FALSE, &device), STATUS_SUCCESS);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
  }

  testing::Machine machine_;
  PDRIVER_OBJECT recording_ = nullptr;
};

TEST_F(IoServicesTest, ChangeRoutinesHearOfFileSystemsBeforeAndAfterThem) {
  PDEVICE_OBJECT early = NewDevice(nullptr, FILE_DEVICE_DISK_FILE_SYSTEM);
  IoRegisterFileSystem(early);
  ASSERT_EQ(IoRegisterFsRegistrationChange(recording_, RecordFsChange), STATUS_SUCCESS);
  PDEVICE_OBJECT late = NewDevice(nullptr, FILE_DEVICE_CD_ROM_FILE_SYSTEM);
  IoRegisterFileSystem(late);
  IoRegisterFileSystem(late);  // once only
  IoUnregisterFileSystem(early);
  EXPECT_THAT(fsChanges, ElementsAre(std::pair{early, true}, std::pair{late, true}, std::pair{early, false}));
  EXPECT_THAT(machine_.Kernel().Registrations().FileSystems(FILE_DEVICE_CD_ROM_FILE_SYSTEM), ElementsAre(late));
  IoUnregisterFsRegistrationChange(recording_, RecordFsChange);
  IoUnregisterFileSystem(late);
  EXPECT_EQ(fsChanges.size(), 3u);

  // The registration is an allocation that can fail.
  machine_.Kernel().Pool().FailAfter(0);
  EXPECT_EQ(IoRegisterFsRegistrationChange(recording_, RecordFsChange), STATUS_INSUFFICIENT_RESOURCES);
  machine_.Kernel().Pool().FailAfter(-1);
  IoRegisterFileSystem(early);
  EXPECT_EQ(fsChanges.size(), 3u);
  IoUnregisterFileSystem(early);
}

TEST_F(IoServicesTest, ZwCreateFileHandsBackAHandleAndZwCloseCleansUp) {
  PDEVICE_OBJECT device = NewDevice(u"\\Device\\Recorded", FILE_DEVICE_UNKNOWN);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\RECORDED\\file");
  PEPROCESS app = machine_.Process("app.exe", 500);
  ProcessScope scope(app);
  for (ULONG attributes : {ULONG{OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE}, ULONG{0}}) {
    requests.clear();
    OBJECT_ATTRIBUTES objectAttributes;
    InitializeObjectAttributes(&objectAttributes, &name, attributes, nullptr, nullptr);
    IO_STATUS_BLOCK ioStatus{};
    HANDLE handle;
    ASSERT_EQ(ZwCreateFile(&handle, SYNCHRONIZE, &objectAttributes, &ioStatus, nullptr, 0, FILE_SHARE_READ, FILE_OPEN,
                           FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0),
              STATUS_SUCCESS);
    bool kernelHandle = attributes & OBJ_KERNEL_HANDLE;
    EXPECT_EQ((reinterpret_cast<ULONG_PTR>(handle) & kKernelHandleFlag) != 0, kernelHandle);
    EXPECT_EQ(machine_.Kernel().Handles().Count(500), kernelHandle ? 0u : 1u);
    PVOID object;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, FILE_READ_DATA, *IoFileObjectType, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    auto* file = static_cast<PFILE_OBJECT>(object);
    EXPECT_EQ(file->DeviceObject, device);
    EXPECT_EQ(std::u16string(file->FileName.Buffer, file->FileName.Length / 2), u"\\file");
    EXPECT_EQ(IoGetRelatedDeviceObject(file), device);
    ObDereferenceObject(object);
    ASSERT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_THAT(requests, ElementsAre(IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE));
    EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
  }
  OBJECT_ATTRIBUTES missing;
  RtlInitUnicodeString(&name, u"\\Device\\Absent");
  InitializeObjectAttributes(&missing, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  IO_STATUS_BLOCK ioStatus{};
  HANDLE handle;
  EXPECT_EQ(ZwCreateFile(&handle, SYNCHRONIZE, &missing, &ioStatus, nullptr, 0, 0, FILE_OPEN, 0, nullptr, 0),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ioStatus.Status, STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ZwCreateFile(&handle, SYNCHRONIZE, &missing, &ioStatus, nullptr, 0, 0, 9, 0, nullptr, 0),
            STATUS_INVALID_PARAMETER);
}

TEST_F(IoServicesTest, ADeviceThatGoesAwayDetachesWhatIsAboveIt) {
  PDEVICE_OBJECT below = NewDevice(nullptr, FILE_DEVICE_DISK);
  PDEVICE_OBJECT above = NewDevice(nullptr, FILE_DEVICE_DISK);
  ASSERT_EQ(IoAttachDeviceToDeviceStack(above, below), below);
  // The recording driver has no FastIoDetachDevice: the device above is detached for it.
  IoDeleteDevice(below);
  EXPECT_EQ(IoGetAttachedDevice(above), above);
  IoDeleteDevice(above);
}

// A filter above a hostfs volume that counts the data requests passing as IRPs and as
// fast I/O on their way down.
struct CountingExtension {
  PDEVICE_OBJECT lower;
};
int readIrps = 0;
int fastWrites = 0;

NTSTATUS CountAndPass(PDEVICE_OBJECT device, PIRP irp) {
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ) ++readIrps;
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(static_cast<CountingExtension*>(device->DeviceExtension)->lower, irp);
}
PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT device) { return static_cast<CountingExtension*>(device->DeviceExtension)->lower; }
BOOLEAN CountingFastRead(PFILE_OBJECT file, PLARGE_INTEGER offset, ULONG length, BOOLEAN wait, ULONG key,
                         PVOID buffer, PIO_STATUS_BLOCK status, PDEVICE_OBJECT device) {
  ++fastReads;
  PDEVICE_OBJECT lower = LowerOf(device);
  return lower->DriverObject->FastIoDispatch->FastIoRead(file, offset, length, wait, key, buffer, status, lower);
}
BOOLEAN CountingFastWrite(PFILE_OBJECT file, PLARGE_INTEGER offset, ULONG length, BOOLEAN wait, ULONG key,
                          PVOID buffer, PIO_STATUS_BLOCK status, PDEVICE_OBJECT device) {
  ++fastWrites;
  PDEVICE_OBJECT lower = LowerOf(device);
  return lower->DriverObject->FastIoDispatch->FastIoWrite(file, offset, length, wait, key, buffer, status, lower);
}
FAST_IO_DISPATCH countingFastIo;
NTSTATUS CountingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& routine : driver->MajorFunction) routine = CountAndPass;
  countingFastIo = FAST_IO_DISPATCH{};
  countingFastIo.SizeOfFastIoDispatch = sizeof countingFastIo;
  countingFastIo.FastIoRead = CountingFastRead;
  countingFastIo.FastIoWrite = CountingFastWrite;
  driver->FastIoDispatch = &countingFastIo;
  return STATUS_SUCCESS;
}

TEST_F(IoServicesTest, ReadsAndWritesOfACachedFileGoByFastIo) {
  char pattern[] = "/tmp/nbfastio-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  std::filesystem::path top = pattern;
  std::ofstream(top / "f.txt") << "0123456789";
  PDEVICE_OBJECT storage;
  ASSERT_EQ(machine_.AddHostVolume('X', top.string(), false, &storage), STATUS_SUCCESS);
  PDRIVER_OBJECT counting;
  ASSERT_EQ(machine_.LoadDriver(u"\\Driver\\Counting", CountingEntry, &counting), STATUS_SUCCESS);
  PDEVICE_OBJECT filter;
  ASSERT_EQ(IoCreateDevice(counting, sizeof(CountingExtension), nullptr, FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE,
                           &filter),
            STATUS_SUCCESS);
  static_cast<CountingExtension*>(filter->DeviceExtension)->lower =
      IoAttachDeviceToDeviceStack(filter, storage->Vpb->DeviceObject);
  readIrps = fastWrites = 0;

  OpenParameters parameters;
  parameters.desiredAccess = FILE_READ_DATA | FILE_WRITE_DATA | SYNCHRONIZE;
  parameters.options = FILE_SYNCHRONOUS_IO_NONALERT;
  PFILE_OBJECT file;
  ASSERT_EQ(OpenFile(u"\\DosDevices\\X:\\f.txt", parameters, &file), STATUS_SUCCESS);
  char buffer[4];
  ULONG read;
  ASSERT_EQ(ReadFile(file, buffer, 4, 0, &read), STATUS_SUCCESS);  // an IRP, which starts the caching
  EXPECT_EQ(readIrps, 1);
  EXPECT_EQ(fastReads, 0);
  ASSERT_NE(file->PrivateCacheMap, nullptr);
  // Now reads and writes go by fast I/O, at explicit offsets and at the file position.
  ASSERT_EQ(ReadFile(file, buffer, 4, kCurrentPosition, &read), STATUS_SUCCESS);
  EXPECT_EQ(std::string(buffer, read), "4567");
  ULONG written;
  ASSERT_EQ(WriteFile(file, "AB", 2, 0, &written), STATUS_SUCCESS);
  ASSERT_EQ(ReadFile(file, buffer, 4, 0, &read), STATUS_SUCCESS);
  EXPECT_EQ(std::string(buffer, read), "AB23");
  EXPECT_EQ(ReadFile(file, buffer, 4, 100, &read), STATUS_END_OF_FILE);
  EXPECT_EQ(readIrps, 1);
  EXPECT_EQ(fastReads, 3);
  EXPECT_EQ(fastWrites, 1);
  CloseFile(file);
  IoDetachDevice(storage->Vpb->DeviceObject);
  IoDeleteDevice(filter);
  std::filesystem::remove_all(top);
}

TEST(DriverLoaderTest, ImagesLoadFromTheirFilesAndBadFilesAreRefused) {
  testing::Machine machine;
  PDRIVER_OBJECT driver;
  ASSERT_EQ(machine.LoadDriverImage(u"\\Driver\\nbdv15", NBDV15_IMAGE, &driver), STATUS_SUCCESS);
  EXPECT_NE(machine.Kernel().Namespace().Lookup(u"\\Device\\nbdvCntl15", ObjectKind::kDevice), nullptr);
  EXPECT_EQ(std::u16string(driver->DriverName.Buffer), u"\\Driver\\nbdv15");
  EXPECT_EQ(machine.LoadDriverImage(u"\\Driver\\again", NBDV15_IMAGE), STATUS_IMAGE_ALREADY_LOADED);
  machine.UnloadDriver(driver);
  EXPECT_EQ(machine.Kernel().Namespace().Lookup(u"\\Device\\nbdvCntl15", ObjectKind::kDevice), nullptr);

  EXPECT_EQ(machine.LoadDriverImage(u"\\Driver\\none", "/nonexistent/driver.sys"), STATUS_OBJECT_NAME_NOT_FOUND);
  char pattern[] = "/tmp/nbimage-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  std::filesystem::path text = std::filesystem::path(pattern) / "text.sys";
  std::ofstream(text) << "not an image";
  EXPECT_EQ(machine.LoadDriverImage(u"\\Driver\\text", text.string()), STATUS_INVALID_IMAGE_FORMAT);
  std::filesystem::remove_all(pattern);
  // A shared object without DriverEntry: the math library.
  Dl_info info{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(static_cast<double (*)(double)>(std::cos)), &info), 0);
  EXPECT_EQ(machine.LoadDriverImage(u"\\Driver\\math", info.dli_fname), STATUS_ENTRYPOINT_NOT_FOUND);
}

}  // namespace
}  // namespace nb::kernel
