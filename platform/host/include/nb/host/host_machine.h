// The machine a running host owns: its kernel, the registry hive of its root, and the
// socket through which user processes reach it.
#pragma once

#include <memory>
#include <string>

#include "nb/host/instance.h"
#include "nb/kernel/kernel.h"
#include "nb/server/socket_server.h"

namespace nb::host {

class HostMachine {
 public:
  HostMachine();
  ~HostMachine();
  HostMachine(const HostMachine&) = delete;
  HostMachine& operator=(const HostMachine&) = delete;

  // Opens the root's hive (made on first boot, with the machine's default settings in the
  // language of `locale`) and starts serving at the root's socket. False with `error` set
  // when the machine cannot come up.
  bool Boot(const RootLayout& layout, const char* locale, std::string* error);
  // Ends every client's requests, closes what they hold and removes the socket.
  void Shutdown();

  kernel::Kernel& Kernel() { return kernel_; }

 private:
  kernel::Kernel kernel_;
  std::unique_ptr<server::SocketServer> server_;
};

}  // namespace nb::host
