// An in-process machine for tests: a fresh kernel, bare volume devices for chosen drive
// letters, drivers loaded into it, and requests sent as any process.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <ntifs.h>

#include "nb/kernel/kernel.h"
#include "nb/kernel/process.h"

namespace nb::testing {

class Machine {
 public:
  Machine();
  ~Machine();  // unloads the drivers (last loaded first) and stops the kernel
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  kernel::Kernel& Kernel() { return kernel_; }

  // A bare volume device "\Device\HarddiskVolumeN" linked as "\DosDevices\X:"; it
  // completes create, cleanup and close with success and refuses everything else.
  PDEVICE_OBJECT AddBareVolume(char letter);

  // A volume backed by the host folder `hostDir`: a storage device "\Device\HarddiskVolumeN"
  // linked as "\DosDevices\X:", mounted by hostfs through its control device ("\Ntfs",
  // or "\Fat" when removable) so that opens of "\DosDevices\X:\..." reach the folder.
  NTSTATUS AddHostVolume(char letter, const std::string& hostDir, bool removable = false,
                         PDEVICE_OBJECT* storage = nullptr);

  // Loads a driver by its entry point; the driver object stays until the machine ends.
  NTSTATUS LoadDriver(const std::u16string& name, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* driver = nullptr);

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
  std::u16string NextVolumeName();

  kernel::Kernel kernel_;
  PDRIVER_OBJECT bareVolumes_ = nullptr;
  PDRIVER_OBJECT hostStorage_ = nullptr;  // storage devices of host-backed volumes
  PDRIVER_OBJECT hostFs_ = nullptr;
  std::vector<std::unique_ptr<VPB>> vpbs_;
  std::vector<int> backingFds_;
  int nextVolume_ = 1;
  std::vector<PDRIVER_OBJECT> drivers_;
};

}  // namespace nb::testing
