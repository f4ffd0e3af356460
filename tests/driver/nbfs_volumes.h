// A machine with hostfs and volumes of the volume manager, the filter driver loaded after
// hostfs, the service's two notification events and nbdv's event, for the suites of
// attachment, removal and the loadable image.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "control_fixture.h"
#include "nb/kernel/object_namespace.h"
#include "nb/kernel/pool.h"
#include "nbdv.h"
#include "nbdvctl.h"

namespace nbfs_test {

// A handle as it travels in a request record.
inline ULONG Wire(HANDLE handle) { return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(handle)); }

class VolumesMachine : public nb::testing::Machine {
 public:
  VolumesMachine() {
    char pattern[] = "/tmp/nbvolumes-XXXXXX";
    if (mkdtemp(pattern)) top_ = pattern;
  }
  ~VolumesMachine() {
    std::error_code ignored;
    std::filesystem::remove_all(top_, ignored);
  }

  // A volume of `type` whose medium is a fresh folder.
  NTSTATUS AddFolderVolume(char letter, nb::kernel::VolumeType type = nb::kernel::VolumeType::kFixed) {
    nb::kernel::VolumeParameters parameters;
    parameters.letter = letter;
    parameters.type = type;
    parameters.hostFolder = Folder(letter).string();
    std::filesystem::create_directories(parameters.hostFolder);
    return AddVolume(parameters);
  }
  std::filesystem::path Folder(char letter) const { return top_ / std::string(1, letter); }

  PDEVICE_OBJECT Device(const std::u16string& name) {
    return static_cast<PDEVICE_OBJECT>(Kernel().Namespace().Lookup(name, nb::kernel::ObjectKind::kDevice));
  }
  // The file system's volume device of a drive.
  PDEVICE_OBJECT VolumeDevice(char letter) {
    for (const auto& volume : Volumes().Volumes()) {
      if (volume.letter == letter && volume.storage && volume.storage->Vpb) return volume.storage->Vpb->DeviceObject;
    }
    return nullptr;
  }
  // The devices attached above `device`, lowest first.
  static std::vector<PDEVICE_OBJECT> Above(PDEVICE_OBJECT device) {
    std::vector<PDEVICE_OBJECT> stack;
    for (PDEVICE_OBJECT above = device->AttachedDevice; above; above = above->AttachedDevice) stack.push_back(above);
    return stack;
  }
  static size_t DeviceCount(PDRIVER_OBJECT driver) {
    size_t count = 0;
    for (PDEVICE_OBJECT device = driver->DeviceObject; device; device = device->NextDevice) ++count;
    return count;
  }

 private:
  std::filesystem::path top_;
};

class NbfsVolumesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(machine.LoadHostFs(), STATUS_SUCCESS);
    ASSERT_EQ(machine.LoadDriver(u"\\Driver\\nbfs36", nbfsDriverEntry, &driver), STATUS_SUCCESS);
    ULONG records = 64;
    ASSERT_EQ(Control(LOG_START, &records, sizeof records), STATUS_SUCCESS);
    service = machine.Process("NBSvc.exe", 1000);
  }

  NTSTATUS Control(ULONG code, const void* input, ULONG inputLength, void* output = nullptr, ULONG outputLength = 0,
                   PEPROCESS as = nullptr) {
    return machine.DeviceControl(NBFS_LINK_NAME, code, input, inputLength, output, outputLength, nullptr, as);
  }
  NTSTATUS Control(ULONG code, const NBFS_ENTRY& entry) { return Control(code, &entry, sizeof entry); }
  std::vector<std::string> Messages() {
    std::vector<std::string> messages;
    NBFS_LOG_RECORD record;
    while (NT_SUCCESS(Control(LOG_READ, nullptr, 0, &record, sizeof record))) messages.push_back(MessageOf(record.text));
    return messages;
  }
  // The letters GET_DRIVE_INFO reports.
  std::string DriveLetters() {
    NBFS_DRIVE drives[26] = {};
    EXPECT_EQ(Control(GET_DRIVE_INFO, nullptr, 0, drives, sizeof drives), STATUS_SUCCESS);
    std::string letters;
    for (const NBFS_DRIVE& drive : drives) {
      if (drive.letter) letters += static_cast<char>(drive.letter);
    }
    return letters;
  }

  // The service's device-notify and timer-notify events, handed over with OPEN_EVENT.
  void OpenServiceEvents() {
    nb::kernel::ProcessScope scope(service);
    ASSERT_EQ(nb::kernel::NtCreateEvent(&deviceNotify, EVENT_ALL_ACCESS, u"", NotificationEvent, FALSE), STATUS_SUCCESS);
    ASSERT_EQ(nb::kernel::NtCreateEvent(&timerNotify, EVENT_ALL_ACCESS, u"", NotificationEvent, FALSE), STATUS_SUCCESS);
    ULONG handles[2] = {Wire(deviceNotify), Wire(timerNotify)};
    ASSERT_EQ(Control(OPEN_EVENT, handles, sizeof handles, nullptr, 0, service), STATUS_SUCCESS);
    devicePulses = std::make_unique<PulseCounter>(service, deviceNotify);
  }
  // nbdv loaded with the service's removable-device event registered.
  void OpenNbdvEvent() {
    ASSERT_EQ(machine.LoadDriver(u"\\Driver\\nbdv15", nbdvDriverEntry), STATUS_SUCCESS);
    nb::kernel::ProcessScope scope(service);
    ASSERT_EQ(nb::kernel::NtCreateEvent(&nbdvNotify, EVENT_ALL_ACCESS, u"", NotificationEvent, FALSE), STATUS_SUCCESS);
    ULONG handle = Wire(nbdvNotify);
    ASSERT_EQ(machine.DeviceControl(NBDV_DEVICE_NAME, NBDV_OPEN_EVENT, &handle, sizeof handle, nullptr, 0, nullptr,
                                    service),
              STATUS_SUCCESS);
    nbdvPulses = std::make_unique<PulseCounter>(service, nbdvNotify);
  }

  VolumesMachine machine;
  PDRIVER_OBJECT driver = nullptr;
  PEPROCESS service = nullptr;
  HANDLE deviceNotify = nullptr;
  HANDLE timerNotify = nullptr;
  HANDLE nbdvNotify = nullptr;
  std::unique_ptr<PulseCounter> devicePulses;
  std::unique_ptr<PulseCounter> nbdvPulses;
};

}  // namespace nbfs_test
