// Bringing a host's machine up and down.
#include "nb/host/host_machine.h"

#include <sys/stat.h>

#include <cstdio>

#include "nb/host/host_log.h"
#include "nb/kernel/driver_loader.h"
#include "nb/kernel/machine_defaults.h"
#include "nb/kernel/registry.h"
#include "nb/kernel/service_manager.h"

namespace nb::host {

namespace {

std::string StatusText(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

// "\Driver\nbfs36" for ".../nbfs36.sys".
std::u16string DriverNameOf(const std::string& image) {
  std::string name = image.substr(image.rfind('/') + 1);
  name = name.substr(0, name.find('.'));
  return u"\\Driver\\" + std::u16string(name.begin(), name.end());
}

}  // namespace

HostMachine::HostMachine() = default;

HostMachine::~HostMachine() { Shutdown(); }

bool HostMachine::Boot(const RootLayout& layout, const BootOptions& options, std::string* error) {
  const char* locale = options.locale;
  kernel::KernelScope bound(kernel_);
  // The hive holds every user's keys: only the host's user reads the file.
  mode_t previous = umask(077);
  NTSTATUS status = kernel_.Registry().Load(layout.hive);
  umask(previous);
  if (!NT_SUCCESS(status)) {
    *error = "cannot open the registry hive " + layout.hive + " (status " + StatusText(status) + ")";
    return false;
  }
  status = kernel::SeedMachineDefaults(kernel_.Registry(), locale ? locale : "");
  if (!NT_SUCCESS(status)) {
    *error = "cannot write the machine's default settings (status " + StatusText(status) + ")";
    return false;
  }
  volumes_ = std::make_unique<MachineVolumes>(kernel_);
  status = volumes_->LoadHostFs();
  if (!NT_SUCCESS(status)) {
    *error = "cannot load hostfs (status " + StatusText(status) + ")";
    return false;
  }
  // Drivers come before the volumes, so that a filter sees each volume mounted.
  for (const std::string& image : options.drivers) {
    PDRIVER_OBJECT driver;
    status = kernel::LoadDriverImage(kernel_, DriverNameOf(image), image, &driver);
    if (!NT_SUCCESS(status)) {
      *error = "cannot load the driver " + image + " (status " + StatusText(status) + ")";
      return false;
    }
    drivers_.push_back(driver);
    HostLog("loaded the driver %s", image.c_str());
  }
  // Every volume that comes up from now on is mounted for the system's processes.
  mounts_ = std::make_unique<HostMounts>(kernel_, layout.mnt);
  volumes_->SetFrontEnd(mounts_.get());
  std::vector<std::string> problems;
  status = volumes_->Restore(layout.volumes, options.profiles, &problems);
  for (const std::string& problem : problems) HostLog("%s", problem.c_str());
  if (!NT_SUCCESS(status)) {
    *error = "cannot bring the volumes up (status " + StatusText(status) + ")";
    return false;
  }
  for (const kernel::VolumeDescription& volume : volumes_->Describe()) {
    if (volume.present) HostLog("drive %c: from %s", volume.letter, volume.folder.c_str());
  }
  auto log = [](const std::string& line) { HostLog("%s", line.c_str()); };
  kernel_.Services().StartBootDrivers(log);
  launcher_ = std::make_unique<ServiceProgramLauncher>(kernel_, layout.root);
  server_ = std::make_unique<server::SocketServer>(kernel_);
  status = server_->Start(layout.socket);
  if (!NT_SUCCESS(status)) {
    server_.reset();
    *error = "cannot listen on " + layout.socket + " (status " + StatusText(status) + ")";
    return false;
  }
  HostLog("serving at %s", layout.socket.c_str());
  kernel_.Services().StartAutoServices(log);
  return true;
}

void HostMachine::Shutdown() {
  kernel::KernelScope bound(kernel_);
  if (server_) {
    kernel_.Services().ShutdownServices(kServiceShutdownWait, [](const std::string& line) {
      HostLog("%s", line.c_str());
    });
  }
  if (server_) {
    server_->Stop();
    server_.reset();
    HostLog("socket closed");
  }
  launcher_.reset();
  if (volumes_) volumes_->WithdrawAll();
  mounts_.reset();
  kernel_.Services().UnloadDrivers();
  for (auto driver = drivers_.rbegin(); driver != drivers_.rend(); ++driver) kernel_.UnloadDriver(*driver);
  drivers_.clear();
  volumes_.reset();
}

}  // namespace nb::host
