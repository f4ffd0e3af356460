// The machine's socket: a listener thread that accepts connections and watches them for
// hang-ups, one thread per connection that serves its requests, and one client context
// per connected process.
#include "nb/server/socket_server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>
#include <vector>

#include "nb/kernel/events.h"
#include "nb/kernel/handles.h"
#include "nb/kernel/kernel.h"
#include "nb/kernel/process.h"
#include "nb/protocol/protocol.h"
#include "nb/server/server.h"

namespace nb::server {

// One connected process: its process object and the context all its connections share.
struct SocketServer::Client {
  ~Client() {
    if (pidfd >= 0) close(pidfd);
  }
  ProcessIdentity identity;
  // The process itself while it lives, or -1: a start time counts clock ticks, so a
  // process that ends and another that takes its id within one tick share it.
  int pidfd = -1;
  std::unique_ptr<ClientContext> context;
  size_t connections = 0;  // guarded by mutex_
  bool closing = false;    // the last connection has gone; guarded by mutex_
};

struct SocketServer::Connection {
  int fd = -1;  // closed by the listener thread or Stop, after the thread has ended
  std::thread thread;
  kernel::ThreadAlert alert;       // ends the wait the thread serves
  std::shared_ptr<Client> client;  // guarded by mutex_
  bool finished = false;           // guarded by mutex_
  bool hungUp = false;             // the listener thread's own
};

namespace {

// Room for the largest message in either direction, so one message is one datagram.
constexpr int kSocketBufferBytes = static_cast<int>(protocol::kMaxMessageBytes + 4096);
constexpr auto kOutOfDescriptorsPause = std::chrono::milliseconds(50);

bool SocketAddress(const std::string& path, sockaddr_un* address) {
  *address = sockaddr_un{};
  address->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address->sun_path) return false;
  path.copy(address->sun_path, path.size());
  return true;
}

bool SomeoneListens(const sockaddr_un& address) {
  int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  bool answered = connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  close(probe);
  return answered;
}

NTSTATUS StatusOfErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return STATUS_OBJECT_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
      return STATUS_ACCESS_DENIED;
    case EADDRINUSE:
      return STATUS_OBJECT_NAME_COLLISION;
    default:
      return STATUS_UNSUCCESSFUL;
  }
}

// A descriptor of the process `pid` (it stays with that process when the id is given to
// another), or -1 where the system has none.
int OpenProcessDescriptor(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

// Whether the process of a descriptor has ended; false when it is not known.
bool HasEnded(int pidfd) {
  if (pidfd < 0) return false;
  pollfd polled{pidfd, POLLIN, 0};
  return poll(&polled, 1, 0) > 0 && (polled.revents & (POLLIN | POLLHUP | POLLERR));
}

bool SendAll(int fd, const std::vector<uint8_t>& message) {
  for (;;) {
    if (send(fd, message.data(), message.size(), MSG_NOSIGNAL) >= 0) return true;
    if (errno != EINTR) return false;
  }
}

// Serves the requests of one connection until the peer closes it or it breaks. A
// message over the cap arrives cut (MSG_TRUNC) and is refused as the decoder refuses an
// oversized one. An empty message cannot be told from the end of the connection.
void ServeMessages(int fd, ClientContext& context) {
  std::vector<uint8_t> buffer(protocol::kMaxMessageBytes);
  for (;;) {
    iovec io{buffer.data(), buffer.size()};
    msghdr header{};
    header.msg_iov = &io;
    header.msg_iovlen = 1;
    ssize_t got = recvmsg(fd, &header, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;
    std::span<const uint8_t> message(buffer.data(), static_cast<size_t>(got));
    std::vector<uint8_t> reply = (header.msg_flags & MSG_TRUNC)
                                     ? protocol::EncodeRefusal(protocol::RawKindOf(message), STATUS_INVALID_PARAMETER)
                                     : DispatchRequest(context, message);
    if (!SendAll(fd, reply)) return;
  }
}

}  // namespace

SocketServer::SocketServer(kernel::Kernel& kernel, IdentityReader readIdentity)
    : kernel_(kernel), readIdentity_(std::move(readIdentity)) {}

SocketServer::~SocketServer() { Stop(); }

NTSTATUS SocketServer::Start(const std::string& path) {
  if (listener_ >= 0) return STATUS_INVALID_DEVICE_REQUEST;
  sockaddr_un address;
  if (!SocketAddress(path, &address)) return STATUS_NAME_TOO_LONG;
  int listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (listener < 0) return STATUS_INSUFFICIENT_RESOURCES;
  auto bindTo = [&] { return bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0; };
  bool bound = bindTo();
  if (!bound && errno == EADDRINUSE && !SomeoneListens(address)) {
    unlink(path.c_str());  // left by a server that did not stop
    bound = bindTo();
  }
  int wake = bound ? eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1;
  // The socket is everyone's door; what a caller may do is the filter's decision.
  if (!bound || chmod(path.c_str(), 0666) != 0 || listen(listener, SOMAXCONN) != 0 || wake < 0) {
    NTSTATUS status = StatusOfErrno(errno);
    if (bound) unlink(path.c_str());
    if (wake >= 0) close(wake);
    close(listener);
    return status;
  }
  path_ = path;
  listener_ = listener;
  wake_ = wake;
  stopping_ = false;
  listenThread_ = std::thread(&SocketServer::Listen, this);
  return STATUS_SUCCESS;
}

void SocketServer::Stop() {
  kernel::KernelScope bound(kernel_);
  if (listener_ < 0) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  Wake();
  listenThread_.join();
  close(listener_);
  listener_ = -1;
  unlink(path_.c_str());

  std::list<std::unique_ptr<Connection>> connections;
  {
    std::lock_guard lock(mutex_);
    for (auto& connection : connections_) Interrupt(*connection);
    connections.swap(connections_);
  }
  clientClosed_.notify_all();
  // Each thread closes its client when it ends; its Connection stays ours until joined.
  for (auto& connection : connections) {
    connection->thread.join();
    close(connection->fd);
  }
  close(wake_);
  wake_ = -1;
}

size_t SocketServer::ClientCount() const {
  std::lock_guard lock(mutex_);
  return clients_.size();
}

size_t SocketServer::ObjectsHeldBy(ULONG processId) const {
  std::lock_guard lock(mutex_);
  auto found = clients_.find(processId);
  return found == clients_.end() ? 0 : found->second->context->Count();
}

void SocketServer::Wake() const {
  uint64_t one = 1;
  (void)!write(wake_, &one, sizeof one);
}

void SocketServer::Interrupt(Connection& connection) {
  shutdown(connection.fd, SHUT_RDWR);
  connection.alert.Alert();
}

void SocketServer::ReapFinished(std::unique_lock<std::mutex>&) {
  for (auto it = connections_.begin(); it != connections_.end();) {
    if (!(*it)->finished) {
      ++it;
      continue;
    }
    (*it)->thread.join();  // it has nothing left to do but return
    close((*it)->fd);
    it = connections_.erase(it);
  }
}

// Accepts connections, and ends the wait of a connection whose peer has gone: its thread
// cannot see the hang-up while the kernel holds it in the wait.
void SocketServer::Listen() {
  kernel::KernelScope bound(kernel_);
  std::vector<pollfd> polled;
  std::vector<Connection*> watched;
  for (;;) {
    polled.assign({pollfd{wake_, POLLIN, 0}, pollfd{listener_, POLLIN, 0}});
    watched.clear();
    {
      std::unique_lock lock(mutex_);
      if (stopping_) return;
      ReapFinished(lock);
      for (auto& connection : connections_) {
        if (connection->finished || connection->hungUp) continue;
        polled.push_back(pollfd{connection->fd, POLLRDHUP, 0});
        watched.push_back(connection.get());
      }
    }
    if (poll(polled.data(), polled.size(), -1) < 0) continue;  // EINTR
    if (polled[0].revents) {
      uint64_t count;
      (void)!read(wake_, &count, sizeof count);
    }
    for (size_t i = 0; i < watched.size(); ++i) {
      if (!(polled[i + 2].revents & (POLLRDHUP | POLLHUP | POLLERR))) continue;
      std::lock_guard lock(mutex_);
      watched[i]->hungUp = true;
      watched[i]->alert.Alert();
    }
    if (polled[1].revents & POLLIN) {
      int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE) std::this_thread::sleep_for(kOutOfDescriptorsPause);
        continue;
      }
      setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSocketBufferBytes, sizeof kSocketBufferBytes);
      std::lock_guard lock(mutex_);
      auto connection = std::make_unique<Connection>();
      connection->fd = fd;
      Connection* serving = connection.get();
      try {
        serving->thread = std::thread(&SocketServer::Serve, this, serving);
      } catch (const std::system_error&) {
        close(fd);  // no thread to serve it: the peer sees the connection end
        continue;
      }
      connections_.push_back(std::move(connection));
    }
  }
}

void SocketServer::Serve(Connection* connection) {
  kernel::KernelScope bound(kernel_);
  kernel::AlertScope alertable(connection->alert);
  ucred peer{};
  socklen_t length = sizeof peer;
  ProcessIdentity identity;
  std::shared_ptr<Client> client;
  // pid 0 is no process, and no Linux process may become the System process by its pid.
  if (getsockopt(connection->fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && peer.pid > 0 &&
      static_cast<ULONG>(peer.pid) != kernel::kSystemProcessId && NT_SUCCESS(readIdentity_(peer.pid, &identity))) {
    identity.processId = static_cast<ULONG>(peer.pid);
    identity.userId = peer.uid;
    client = Attach(identity, connection);
  }
  if (client) {
    ServeMessages(connection->fd, *client->context);
    // The connection was one client thread's: the mutants it owns are abandoned.
    kernel::AbandonThreadMutants();
    Detach(client);
  }
  {
    std::lock_guard lock(mutex_);
    connection->finished = true;
  }
  Wake();
}

std::shared_ptr<SocketServer::Client> SocketServer::Attach(const ProcessIdentity& identity, Connection* connection) {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (stopping_) return nullptr;
    auto found = clients_.find(identity.processId);
    if (found == clients_.end()) break;
    std::shared_ptr<Client> existing = found->second;
    bool same = existing->identity.startTime == identity.startTime &&
                existing->identity.imageName == identity.imageName && !HasEnded(existing->pidfd);
    if (same && !existing->closing) {
      ++existing->connections;
      connection->client = existing;
      return existing;
    }
    if (!existing->closing) {
      // The id was recycled (or the process ran another image): the earlier client has
      // ended, and so have its connections, whatever they wait for.
      for (auto& other : connections_) {
        if (other->client == existing) Interrupt(*other);
      }
    }
    clientClosed_.wait(lock);
  }
  auto client = std::make_shared<Client>();
  client->identity = identity;
  client->pidfd = OpenProcessDescriptor(static_cast<pid_t>(identity.processId));
  // The process keeps the user it connected as, like a descriptor opened before a
  // change of user keeps its rights.
  client->context = std::make_unique<ClientContext>(
      kernel_.Processes().Acquire(identity.processId, identity.imageName), identity.userId);
  client->connections = 1;
  clients_[identity.processId] = client;
  connection->client = client;
  return client;
}

void SocketServer::Detach(const std::shared_ptr<Client>& client) {
  {
    std::lock_guard lock(mutex_);
    if (--client->connections > 0) return;
    client->closing = true;
  }
  // As when a process ends: its objects close in it, then, when nothing else holds the
  // process object (another server of this kernel may serve the same process), its
  // handles, and it goes.
  ULONG id = client->identity.processId;
  client->context->CloseAll();
  if (kernel_.Processes().Release(id)) kernel_.Handles().CloseProcess(id);
  {
    std::lock_guard lock(mutex_);
    auto found = clients_.find(id);
    if (found != clients_.end() && found->second == client) clients_.erase(found);
  }
  clientClosed_.notify_all();
}

}  // namespace nb::server
