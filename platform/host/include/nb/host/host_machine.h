// The machine a running host owns: its kernel, the registry hive of its root, and the
// socket through which user processes reach it.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "nb/host/host_mounts.h"
#include "nb/host/instance.h"
#include "nb/host/machine_volumes.h"
#include "nb/host/service_launcher.h"
#include "nb/kernel/kernel.h"
#include "nb/server/socket_server.h"

namespace nb::host {

class HostMachine {
 public:
  HostMachine();
  ~HostMachine();
  HostMachine(const HostMachine&) = delete;
  HostMachine& operator=(const HostMachine&) = delete;

  struct BootOptions {
    const char* locale = nullptr;       // chooses the system language on first boot
    std::vector<std::string> drivers;   // driver images to load, before the volumes come
    std::vector<MachineVolumes::Profile> profiles;  // whose profile folders drive C: gets
  };
  // Opens the root's hive (made on first boot, with the machine's default settings),
  // loads hostfs and the drivers, brings back the recorded volumes (drive C: with its
  // folders on first boot) and mounts each for the system's processes (HostMounts),
  // loads the drivers whose service Start is 0 or 1 (their images are on the drives, and
  // they attach to volumes mounted before them, as when a service starts a driver later),
  // starts serving at the root's socket and starts the services whose Start is 2. False
  // with `error` set when the machine cannot come up; a volume or a service that does not
  // come is logged.
  bool Boot(const RootLayout& layout, const BootOptions& options, std::string* error);
  // Sends SERVICE_CONTROL_SHUTDOWN to the running service programs and waits for them
  // (kServiceShutdownWait at most; the rest are killed), ends every client's requests,
  // closes what they hold and removes the socket; then the volumes are unmounted, while
  // their stacks still answer; then the drivers go (those of services, then the others,
  // last loaded first), then the volumes.
  void Shutdown();
  static constexpr std::chrono::milliseconds kServiceShutdownWait{10000};

  kernel::Kernel& Kernel() { return kernel_; }

 private:
  kernel::Kernel kernel_;
  std::unique_ptr<MachineVolumes> volumes_;
  std::unique_ptr<HostMounts> mounts_;
  std::vector<PDRIVER_OBJECT> drivers_;
  std::unique_ptr<ServiceProgramLauncher> launcher_;
  std::unique_ptr<server::SocketServer> server_;
};

}  // namespace nb::host
