// An in-process machine for tests: a fresh kernel with its volume manager, volumes backed
// by host folders (or bare volume devices), drivers loaded into it, and requests sent as
// any process. Its methods act on its own kernel, whichever the calling thread is bound to.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <ntifs.h>

#include "nb/kernel/kernel.h"
#include "nb/kernel/process.h"
#include "nb/host/machine_volumes.h"
#include "nb/kernel/volumes.h"

namespace nb::testing {

class Machine {
 public:
  // The hive holds the settings of a first boot (nb/machine_defaults.h) with the system
  // language English, so tests do not depend on the locale they run in.
  Machine();
  // Unloads the drivers (last loaded first), removes the volumes, unloads hostfs and
  // stops the kernel.
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  kernel::Kernel& Kernel() { return kernel_; }
  kernel::VolumeManager& Volumes() { return volumes_->Manager(); }
  // The machine's volume administration (drive table, add, eject, insert), which its
  // requests reach; its additions are recorded in the machine's hive.
  host::MachineVolumes& VolumeAdministration() { return *volumes_; }

  // A bare volume device "\Device\HarddiskVolumeN" linked as "\DosDevices\X:"; it
  // completes create, cleanup and close with success and refuses everything else.
  PDEVICE_OBJECT AddBareVolume(char letter);

  // A volume backed by the host folder `hostDir`, added through the volume manager and
  // mounted by hostfs ("\Ntfs", or "\Fat" when removable), which is loaded on first use,
  // so that opens of "\DosDevices\X:\..." reach the folder. STATUS_UNRECOGNIZED_VOLUME
  // when no file system took it.
  NTSTATUS AddHostVolume(char letter, const std::string& hostDir, bool removable = false,
                         PDEVICE_OBJECT* storage = nullptr);
  // Any volume through the volume manager; hostfs is loaded first.
  NTSTATUS AddVolume(const kernel::VolumeParameters& parameters, PDEVICE_OBJECT* storage = nullptr);
  // The medium of a drive goes away (volume manager removal).
  NTSTATUS RemoveVolume(char letter) { return volumes_->Manager().RemoveVolume(letter); }
  // Loads hostfs now (it registers "\Ntfs" and "\Fat"); a second call does nothing.
  NTSTATUS LoadHostFs();

  // Loads a driver by its entry point; the driver object stays until the machine ends.
  NTSTATUS LoadDriver(const std::u16string& name, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* driver = nullptr);
  // Loads a driver from its image file (an ELF shared object exporting DriverEntry).
  NTSTATUS LoadDriverImage(const std::u16string& name, const std::string& imagePath,
                           PDRIVER_OBJECT* driver = nullptr);

  // Unloads a driver this machine loaded, before the machine ends.
  void UnloadDriver(PDRIVER_OBJECT driver);

  // The process object for an image name and id, created on first use.
  PEPROCESS Process(const std::string& imageName, ULONG id);

  // Sends a device-control request to the named device ("\Device\X" or "\DosDevices\X")
  // as the given process, opening and closing the device around it.
  NTSTATUS DeviceControl(const std::u16string& device, ULONG code, const void* input, ULONG inputLength,
                         void* output, ULONG outputLength, ULONG* returned = nullptr,
                         PEPROCESS as = nullptr);

 private:
  kernel::Kernel kernel_;
  std::unique_ptr<host::MachineVolumes> volumes_;
  PDRIVER_OBJECT bareVolumes_ = nullptr;
  int nextBareVolume_ = 1;
  std::vector<PDRIVER_OBJECT> drivers_;
};

}  // namespace nb::testing
