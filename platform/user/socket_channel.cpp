// The channel to the host's socket: a connection per thread, made on the thread's first
// call, and one kept by the process.
#include "nb/win/socket_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <thread>
#include <unordered_map>

#include "nb/protocol/protocol.h"

namespace nb::win {

namespace {

constexpr int kSocketBufferBytes = static_cast<int>(protocol::kMaxMessageBytes + 4096);
// A host whose backlog is full gets this long to take the connection; a host that is not
// there fails at once.
constexpr auto kConnectPatience = std::chrono::milliseconds(500);
constexpr auto kConnectRetryPause = std::chrono::milliseconds(10);

std::atomic<uint64_t> nextSerial{1};
std::atomic<bool> unreachableReported{false};

// A connected socket, or -1.
int Connect(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return -1;
  path.copy(address.sun_path, path.size());
  // Non-blocking, so that a full backlog is an error to retry rather than a hang.
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSocketBufferBytes, sizeof kSocketBufferBytes);
  auto deadline = std::chrono::steady_clock::now() + kConnectPatience;
  for (;;) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) break;
    bool again = errno == EINTR || (errno == EAGAIN && std::chrono::steady_clock::now() < deadline);
    if (!again) {
      close(fd);
      return -1;
    }
    if (errno == EAGAIN) std::this_thread::sleep_for(kConnectRetryPause);
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

bool HungUp(int fd) {
  pollfd polled{fd, POLLRDHUP, 0};
  return poll(&polled, 1, 0) > 0 && (polled.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL));
}

}  // namespace

// The connections a channel handed to threads, so that the channel can shut them down
// when it goes while the threads still hold them.
struct SocketChannel::Registry {
  std::mutex mutex;
  std::set<int> connections;
  bool closed = false;
};

namespace {

// A thread's connection on one channel, closed when the thread ends.
struct ThreadConnection {
  int fd = -1;
  pid_t owner = 0;
  std::shared_ptr<SocketChannel::Registry> registry;

  ThreadConnection() = default;
  ThreadConnection(const ThreadConnection&) = delete;
  ThreadConnection& operator=(const ThreadConnection&) = delete;
  ~ThreadConnection() { Drop(); }

  bool Usable() const { return fd >= 0 && owner == getpid(); }

  void Drop() {
    if (fd < 0) return;
    std::lock_guard lock(registry->mutex);
    registry->connections.erase(fd);
    close(fd);
    fd = -1;
  }

  bool Open(const std::string& path, const std::shared_ptr<SocketChannel::Registry>& channelRegistry) {
    Drop();
    registry = channelRegistry;
    int connected = Connect(path);
    if (connected < 0) return false;
    std::lock_guard lock(registry->mutex);
    if (registry->closed) {
      close(connected);
      return false;
    }
    registry->connections.insert(connected);
    fd = connected;
    owner = getpid();
    return true;
  }
};

// A thread's connections by channel. Calls made while the thread ends after its map has
// gone (handles closed by static destructors at exit) get a connection for the call.
struct ThreadConnections {
  std::unordered_map<uint64_t, ThreadConnection> bySerial;
  ~ThreadConnections();
};
thread_local bool threadConnectionsGone = false;
thread_local ThreadConnections threadConnections;
ThreadConnections::~ThreadConnections() { threadConnectionsGone = true; }

bool SendAll(int fd, std::span<const uint8_t> message) {
  for (;;) {
    if (send(fd, message.data(), message.size(), MSG_NOSIGNAL) >= 0) return true;
    if (errno != EINTR) return false;
  }
}

// The reply of one exchange; kHostUnreachable when the connection broke.
NTSTATUS Receive(int fd, std::vector<uint8_t>* reply) {
  reply->resize(protocol::kMaxMessageBytes);
  for (;;) {
    iovec io{reply->data(), reply->size()};
    msghdr header{};
    header.msg_iov = &io;
    header.msg_iovlen = 1;
    ssize_t got = recvmsg(fd, &header, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      reply->clear();
      return kHostUnreachable;
    }
    reply->resize(static_cast<size_t>(got));
    // A reply over the cap is no reply of the protocol; its remainder was discarded.
    return (header.msg_flags & MSG_TRUNC) ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
  }
}

// One answered request on a new process connection: the host has then taken it for
// this process, so a thread connection that opens, serves and ends before it can never
// leave the process without connections (which would close what it holds).
bool Introduce(int fd) {
  std::vector<uint8_t> request;
  if (!NT_SUCCESS(protocol::EncodeRequest(protocol::QuerySymbolicLinkRequest{}, &request))) return false;
  std::vector<uint8_t> reply;
  return SendAll(fd, request) && Receive(fd, &reply) != kHostUnreachable;
}

}  // namespace

SocketChannel::SocketChannel(std::string socketPath)
    : path_(std::move(socketPath)), serial_(nextSerial++), registry_(std::make_shared<Registry>()) {}

SocketChannel::~SocketChannel() {
  if (!threadConnectionsGone) threadConnections.bySerial.erase(serial_);
  {
    std::lock_guard lock(registry_->mutex);
    registry_->closed = true;
    // Shut, not closed: the descriptors stay their threads' until those close them.
    for (int fd : registry_->connections) shutdown(fd, SHUT_RDWR);
  }
  std::lock_guard lock(mutex_);
  if (processConnection_ >= 0) close(processConnection_);
}

void SocketChannel::ReportUnreachable() const {
  if (unreachableReported.exchange(true)) return;
  std::fprintf(stderr, "cannot reach the Nimbra host at %s: is nbhost running?\n", path_.c_str());
}

bool SocketChannel::KeepProcessConnection() {
  std::lock_guard lock(mutex_);
  if (lost_) return false;
  if (processConnection_ >= 0 && processConnectionOwner_ != getpid()) {
    close(processConnection_);  // a parent's: this process is another client
    processConnection_ = -1;
  } else if (processConnection_ >= 0 && HungUp(processConnection_)) {
    // The host went away and took this process's objects with it: a new connection would
    // let the values of the old ones name whatever the process opens next.
    close(processConnection_);
    processConnection_ = -1;
    lost_ = true;
    return false;
  }
  if (processConnection_ < 0) {
    processConnection_ = Connect(path_);
    processConnectionOwner_ = getpid();
    if (processConnection_ >= 0 && !Introduce(processConnection_)) {
      close(processConnection_);
      processConnection_ = -1;
    }
  }
  return processConnection_ >= 0;
}

NTSTATUS SocketChannel::Exchange(std::span<const uint8_t> request, std::vector<uint8_t>* reply) {
  reply->clear();
  ThreadConnection forThisCall;
  ThreadConnection& connection = threadConnectionsGone ? forThisCall : threadConnections.bySerial[serial_];
  if (!connection.Usable() && (!KeepProcessConnection() || !connection.Open(path_, registry_))) {
    ReportUnreachable();
    return kHostUnreachable;
  }
  NTSTATUS status = SendAll(connection.fd, request) ? Receive(connection.fd, reply) : kHostUnreachable;
  if (status == kHostUnreachable) {
    connection.Drop();
    ReportUnreachable();
  }
  return status;
}

std::string MachineSocketPath(const std::string& root) { return root + "/run/nbhost.sock"; }

void UseMachineAt(const std::string& root) {
  static std::mutex selecting;
  std::lock_guard lock(selecting);
  // Never freed: a call made while the process exits may still go through them, and so
  // may one in another thread that fetched the transport just before a switch.
  auto* channel = new SocketChannel(MachineSocketPath(root));
  auto* transport = new RequestTransport(*channel);
  SetTransport(transport);
}

void UseMachineFromEnvironment() {
  const char* root = std::getenv("NB_ROOT");
  UseMachineAt(root && *root ? root : "/var/lib/nimbra");
}

}  // namespace nb::win
