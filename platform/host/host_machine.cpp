// Bringing a host's machine up and down.
#include "nb/host/host_machine.h"

#include <sys/stat.h>

#include <cstdio>

#include "nb/host/host_log.h"
#include "nb/kernel/machine_defaults.h"
#include "nb/kernel/registry.h"

namespace nb::host {

namespace {

std::string StatusText(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

}  // namespace

HostMachine::HostMachine() = default;

HostMachine::~HostMachine() { Shutdown(); }

bool HostMachine::Boot(const RootLayout& layout, const char* locale, std::string* error) {
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
  server_ = std::make_unique<server::SocketServer>(kernel_);
  status = server_->Start(layout.socket);
  if (!NT_SUCCESS(status)) {
    server_.reset();
    *error = "cannot listen on " + layout.socket + " (status " + StatusText(status) + ")";
    return false;
  }
  HostLog("serving at %s", layout.socket.c_str());
  return true;
}

void HostMachine::Shutdown() {
  if (!server_) return;
  server_->Stop();
  server_.reset();
  HostLog("socket closed");
}

}  // namespace nb::host
