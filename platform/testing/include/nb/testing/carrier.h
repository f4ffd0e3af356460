// The two roads from libnbwin to a machine, for suites that run on both: the in-process
// loopback, and the socket of a server in the test process on a temporary path, which
// serves this process as it serves any other (its identity from /proc, its Linux user
// from the socket).
#pragma once

#include <memory>
#include <ostream>
#include <string>

#include <ntifs.h>

#include "nb/kernel/kernel.h"
#include "nb/server/socket_server.h"
#include "nb/win/in_process.h"
#include "nb/win/request_transport.h"
#include "nb/win/socket_channel.h"

namespace nb::testing {

enum class Carrier { kInProcess, kSocket };

inline const char* NameOf(Carrier carrier) { return carrier == Carrier::kSocket ? "Socket" : "InProcess"; }
inline std::ostream& operator<<(std::ostream& out, Carrier carrier) { return out << NameOf(carrier); }

// Installs the carrier's transport for this process's Win32 calls while it lives.
class CarriedTransport {
 public:
  CarriedTransport(kernel::Kernel& kernel, Carrier carrier);
  // Uninstalls the transport (closing what was opened through it), then stops the server.
  ~CarriedTransport();
  CarriedTransport(const CarriedTransport&) = delete;
  CarriedTransport& operator=(const CarriedTransport&) = delete;

  Carrier Kind() const { return carrier_; }
  bool OverSocket() const { return carrier_ == Carrier::kSocket; }
  // The loopback, or null over the socket.
  win::InProcessTransport* InProcess() { return inProcess_.get(); }
  // The server, or null in process.
  server::SocketServer* Server() { return server_.get(); }
  win::Transport& Transport() { return *active_; }
  // Whether the transport could be installed (the server started).
  bool Ready() const { return ready_; }
  // Objects the process `processId` holds on the machine through this carrier.
  size_t ObjectsHeldBy(ULONG processId) const;
  // The process the machine serves this thread's calls in: the thread's current process
  // in process, this program's over the socket (null before its first call).
  PEPROCESS CallerProcess() const;
  ULONG CallerId() const;

 private:
  kernel::Kernel& kernel_;
  Carrier carrier_;
  std::string folder_;
  std::unique_ptr<server::SocketServer> server_;
  std::unique_ptr<win::SocketChannel> channel_;
  std::unique_ptr<win::InProcessTransport> inProcess_;
  std::unique_ptr<win::Transport> transport_;
  win::Transport* active_ = nullptr;
  bool ready_ = false;
};

}  // namespace nb::testing
