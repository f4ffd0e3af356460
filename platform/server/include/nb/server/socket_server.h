// The machine's socket: user processes connect to a SOCK_SEQPACKET Unix socket, one
// connection per calling thread, and every message is one request served by the
// dispatcher in the identity of the connecting process (SO_PEERCRED). All connections of
// one process share its client context; when the last of them closes (the process ended
// or crashed), everything it held is closed and its process object goes.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include <ntifs.h>

namespace nb::kernel {
class Kernel;
}

namespace nb::server {

class ClientContext;

// Who a connected process is, in the kernel's terms.
struct ProcessIdentity {
  ULONG processId = 0;     // the thread-group id
  std::string imageName;   // "NBSvc.exe"; the process object keeps 15 characters of it
  uint64_t startTime = 0;  // since boot, in clock ticks; tells a recycled pid from its first owner
  uint32_t userId = 0;     // the Linux user of the process's first connection (SO_PEERCRED)
};

// The image name of an executable path: its last component, with ".exe" appended when it
// has no extension ("/opt/nimbra/NBSvc" -> "NBSvc.exe"); a replaced executable's
// " (deleted)" mark is dropped.
std::string ImageNameOf(std::string_view executablePath);
// The start time in the text of /proc/PID/stat (field 22, counted after the command name,
// which may hold spaces and parentheses); false when the text does not have one.
[[nodiscard]] bool StartTimeOf(std::string_view statText, uint64_t* startTime);
// The identity of a running process from /proc. STATUS_INVALID_CID when the process has
// gone, STATUS_ACCESS_DENIED when its executable cannot be read.
[[nodiscard]] NTSTATUS ReadProcessIdentity(pid_t pid, ProcessIdentity* identity);

using IdentityReader = std::function<NTSTATUS(pid_t pid, ProcessIdentity* identity)>;

class SocketServer {
 public:
  // Serves requests against `kernel`, which must outlive the server. Tests pass their own
  // identity reader to play a recycled process id.
  explicit SocketServer(kernel::Kernel& kernel, IdentityReader readIdentity = ReadProcessIdentity);
  // Stops the server.
  ~SocketServer();
  SocketServer(const SocketServer&) = delete;
  SocketServer& operator=(const SocketServer&) = delete;

  // Listens on `path` (mode 0666: any user's process may connect; the filter decides what
  // it may do). A leftover socket file nobody listens on is replaced;
  // STATUS_OBJECT_NAME_COLLISION when a server answers there, STATUS_OBJECT_PATH_NOT_FOUND
  // when the folder is missing, STATUS_NAME_TOO_LONG for a path a socket cannot have.
  [[nodiscard]] NTSTATUS Start(const std::string& path);
  // Closes the listener and every connection, ends the requests under way (a wait ends
  // alerted), closes what every client held and removes the socket file. Idempotent.
  void Stop();

  // Client processes that have a context, and the objects one of them holds.
  size_t ClientCount() const;
  size_t ObjectsHeldBy(ULONG processId) const;

 private:
  struct Client;
  struct Connection;

  void Listen();
  void Serve(Connection* connection);
  // Enters a connection in the client of its process, the one of the process's other
  // connections when it has some; a client of an earlier process with the same id (it
  // started at another time or has ended, or it is the same process before it ran
  // another image) is shut down and closed first. Null
  // when the server stops.
  std::shared_ptr<Client> Attach(const ProcessIdentity& identity, Connection* connection);
  // Drops a connection from its client; the last one closes the client.
  void Detach(const std::shared_ptr<Client>& client);
  // Shuts a connection's socket and ends its wait; mutex_ is held.
  static void Interrupt(Connection& connection);
  // Joins and closes the connections that have finished; mutex_ is held by `lock`.
  void ReapFinished(std::unique_lock<std::mutex>& lock);
  void Wake() const;

  kernel::Kernel& kernel_;
  IdentityReader readIdentity_;
  std::string path_;
  int listener_ = -1;
  int wake_ = -1;  // an eventfd: a connection finished, or the server stops
  std::thread listenThread_;

  // Lock order: mutex_, then the kernel's locks (a client is closed outside it).
  mutable std::mutex mutex_;
  std::condition_variable clientClosed_;
  bool stopping_ = false;
  std::list<std::unique_ptr<Connection>> connections_;
  std::map<ULONG, std::shared_ptr<Client>> clients_;  // by process id
};

}  // namespace nb::server
