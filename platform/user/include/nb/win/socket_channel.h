// The channel to the host of a machine (nbhost): its SOCK_SEQPACKET Unix socket, one
// connection per calling thread so that a blocking wait in one thread never holds up a
// call in another, and one more that the process keeps while the channel lives, so that
// what it opened stays open however its threads come and go. The host identifies the
// process by the connection, closes what it held when its last connection closes, and
// serves each call in its identity.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "nb/win/request_transport.h"

namespace nb::win {

// What a call returns when the host cannot be reached or went away during the call
// (ERROR_NOT_READY for the Win32 calls).
inline constexpr NTSTATUS kHostUnreachable = STATUS_DEVICE_NOT_READY;

class SocketChannel final : public Channel {
 public:
  explicit SocketChannel(std::string socketPath);
  // Shuts every connection of this channel down, in whatever thread it was made.
  ~SocketChannel() override;
  SocketChannel(const SocketChannel&) = delete;
  SocketChannel& operator=(const SocketChannel&) = delete;

  // kHostUnreachable, after a short try, when nobody listens at the socket, and when the
  // connection breaks during the exchange; the first time in this process it also says
  // so on standard error. Once the host has gone after serving this process, every later
  // call fails too: the objects the process held went with it. A connection that a forked
  // child inherited is not used: the child makes its own, as the host must know it as
  // another process.
  [[nodiscard]] NTSTATUS Exchange(std::span<const uint8_t> request, std::vector<uint8_t>* reply) override;

  const std::string& SocketPath() const { return path_; }

  // The connections of one channel, shared with the threads that hold them.
  struct Registry;

 private:
  // The connection the process keeps; false when the host cannot be reached.
  bool KeepProcessConnection();
  void ReportUnreachable() const;

  std::string path_;
  uint64_t serial_;  // names this channel among a thread's connections
  std::shared_ptr<Registry> registry_;
  std::mutex mutex_;
  int processConnection_ = -1;  // guarded by mutex_
  pid_t processConnectionOwner_ = 0;
  bool lost_ = false;  // the host went away after it had served this process
};

// The socket of the machine whose root folder is `root`: ROOT/run/nbhost.sock.
std::string MachineSocketPath(const std::string& root);
// Makes the Win32 calls of this process requests to the host of the machine at `root`.
void UseMachineAt(const std::string& root);
// The same for the machine at $NB_ROOT, or at /var/lib/nimbra when NB_ROOT is not set.
// Programs call it first thing; tests install an in-process transport instead.
void UseMachineFromEnvironment();

}  // namespace nb::win
