// The host's socket: the Win32 calls of libnbwin over the in-process loopback and over a
// real socket alike; real client processes that meet through named events, die holding
// objects or waiting, or find no host; a recycled process id; messages that do not decode.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <ntifs.h>
#include <windows.h>

#include "nb/kernel/events.h"
#include "nb/kernel/handles.h"
#include "nb/kernel/process.h"
#include "nb/protocol/protocol.h"
#include "nb/server/socket_server.h"
#include "nb/testing/machine.h"
#include "nb/win/in_process.h"
#include "nb/win/socket_channel.h"
#include "driver.h"
#include "nbclient.h"
#include "probe_driver.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using nb::testing::probeRecord;
using Bytes = std::vector<uint8_t>;

constexpr auto kPatience = 5s;

bool WaitUntil(const std::function<bool()>& done) {
  auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// A machine root in a temporary folder, with its run folder.
class TempRoot {
 public:
  TempRoot() {
    char pattern[] = "/tmp/nb-socket-XXXXXX";
    path_ = mkdtemp(pattern);
    std::filesystem::create_directory(path_ + "/run");
  }
  ~TempRoot() { std::filesystem::remove_all(path_); }
  const std::string& Path() const { return path_; }
  std::string Socket() const { return nb::win::MachineSocketPath(path_); }

 private:
  std::string path_;
};

// A client process running the peer program, its output read through a pipe.
class Peer {
 public:
  Peer(const std::string& root, std::vector<std::string> arguments, bool withErrors = false) {
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) return;
    output_ = pipeEnds[0];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    if (withErrors) posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDERR_FILENO);
    arguments.insert(arguments.begin(), NB_SOCKET_PEER);
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::string rootVariable = "NB_ROOT=" + root;
    std::vector<char*> envp;
    for (char** variable = environ; *variable; ++variable) {
      if (std::string_view(*variable).starts_with("NB_ROOT=")) continue;
      envp.push_back(*variable);
    }
    envp.push_back(rootVariable.data());
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, NB_SOCKET_PEER, &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
  }
  ~Peer() {
    Kill();
    if (output_ >= 0) close(output_);
  }

  pid_t Pid() const { return pid_; }

  // Everything written up to the first line holding `text`, or up to the end; empty
  // when nothing came in time.
  std::string ReadUntil(const std::string& text) {
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (read_.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd polled{output_, POLLIN, 0};
      if (poll(&polled, 1, 50) <= 0) continue;
      char buffer[256];
      ssize_t got = read(output_, buffer, sizeof buffer);
      if (got <= 0) break;
      read_.append(buffer, static_cast<size_t>(got));
    }
    return read_;
  }

  // The exit code, or -1 when it did not end in time or was killed.
  int Wait() {
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    int status = 0;
    while (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return -1;
      std::this_thread::sleep_for(5ms);
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -128 - WTERMSIG(status);
  }

  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  std::string read_;
};

std::string ProcessName(nb::kernel::Kernel& kernel, pid_t pid) {
  PEPROCESS process = kernel.Processes().Find(static_cast<ULONG>(pid));
  return process ? nb::kernel::ProcessTable::NameOf(process) : std::string();
}

// ---- One client suite, over the loopback and over the socket ----

enum class Carrier { kLoopback, kSocket };

class BothTransports : public ::testing::TestWithParam<Carrier> {
 protected:
  void SetUp() override {
    probeRecord.Clear();
    ASSERT_EQ(machine.LoadDriver(u"\\Driver\\Probe", nb::testing::ProbeEntry), STATUS_SUCCESS);
    if (GetParam() == Carrier::kSocket) {
      ASSERT_EQ(server.Start(root.Socket()), STATUS_SUCCESS);
      channel = std::make_unique<nb::win::SocketChannel>(root.Socket());
      transport = std::make_unique<nb::win::RequestTransport>(*channel);
    } else {
      transport = std::make_unique<nb::win::InProcessTransport>();
    }
    nb::win::SetTransport(transport.get());
  }
  void TearDown() override { nb::win::SetTransport(nullptr); }

  // The process the machine serves this test's calls in.
  ULONG Caller() const {
    return GetParam() == Carrier::kSocket ? static_cast<ULONG>(getpid()) : nb::kernel::kSystemProcessId;
  }

  static HANDLE OpenProbe() {
    return CreateFileW(u"\\\\.\\Probe", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  }

  TempRoot root;
  nb::testing::Machine machine;
  nb::server::SocketServer server{machine.Kernel()};
  std::unique_ptr<nb::win::SocketChannel> channel;
  std::unique_ptr<nb::win::Transport> transport;
};

TEST_P(BothTransports, DeviceRequestsRunInTheCallersProcess) {
  HANDLE device = OpenProbe();
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  if (GetParam() == Carrier::kSocket) {
    EXPECT_EQ(ProcessName(machine.Kernel(), getpid()), "protocol_socket") << "the test program's name, cut";
    EXPECT_EQ(server.ObjectsHeldBy(Caller()), 1u);
  }
  DWORD returned;
  EXPECT_TRUE(DeviceIoControl(device, 0x222000, nullptr, 0, nullptr, 0, &returned, nullptr));
  EXPECT_TRUE(CloseHandle(device));
  using Request = nb::testing::ProbeRecord::Request;
  EXPECT_EQ(probeRecord.Requests(), (std::vector<Request>{{IRP_MJ_CREATE, Caller()},
                                                          {IRP_MJ_DEVICE_CONTROL, Caller()},
                                                          {IRP_MJ_CLEANUP, Caller()},
                                                          {IRP_MJ_CLOSE, Caller()}}));
}

TEST_P(BothTransports, NamedEventsSetResetAndWait) {
  HANDLE created = CreateEventW(nullptr, TRUE, FALSE, u"Global\\NbSocketSuite");
  ASSERT_NE(created, nullptr);
  HANDLE opened = OpenEventW(SYNCHRONIZE, FALSE, u"NbSocketSuite");
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(WaitForSingleObject(opened, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(SetEvent(created));
  EXPECT_EQ(WaitForSingleObject(opened, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ResetEvent(created));
  EXPECT_EQ(WaitForSingleObject(opened, 10), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(CloseHandle(opened));
  EXPECT_TRUE(CloseHandle(created));
  EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, u"NbSocketSuite"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// A transport that carried all threads' calls on one connection would serve the set
// only after the wait had timed out.
TEST_P(BothTransports, AWaitInOneThreadDoesNotHoldUpAnother) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  std::atomic<DWORD> waited{WAIT_FAILED};
  std::thread waiter([&] { waited = WaitForSingleObject(event, 5000); });
  std::this_thread::sleep_for(100ms);
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(SetEvent(event));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  waiter.join();
  EXPECT_EQ(waited.load(), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(event));
}

// What a thread opened stays open when the thread ends and belongs to the whole process.
TEST_P(BothTransports, ObjectsOutliveTheThreadThatOpenedThem) {
  HANDLE device = INVALID_HANDLE_VALUE;
  std::thread opener([&] { device = OpenProbe(); });
  opener.join();
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  DWORD returned;
  EXPECT_TRUE(DeviceIoControl(device, 0x222000, nullptr, 0, nullptr, 0, &returned, nullptr)) << GetLastError();
  EXPECT_TRUE(CloseHandle(device));
  EXPECT_EQ(probeRecord.Count(IRP_MJ_CLOSE, Caller()), 1u);
}

INSTANTIATE_TEST_SUITE_P(Carriers, BothTransports, ::testing::Values(Carrier::kLoopback, Carrier::kSocket),
                         [](const auto& info) { return info.param == Carrier::kSocket ? "Socket" : "Loopback"; });

// ---- The server with real client processes ----

// The machine's start time of a process, as the tests choose it.
std::atomic<uint64_t> fakedStartTime{0};

NTSTATUS ReadFakedIdentity(pid_t pid, nb::server::ProcessIdentity* identity) {
  NTSTATUS status = nb::server::ReadProcessIdentity(pid, identity);
  if (NT_SUCCESS(status) && fakedStartTime != 0) identity->startTime = fakedStartTime;
  return status;
}

class SocketServer : public ::testing::Test {
 protected:
  void SetUp() override {
    probeRecord.Clear();
    fakedStartTime = 0;
    ASSERT_EQ(machine.LoadDriver(u"\\Driver\\Probe", nb::testing::ProbeEntry), STATUS_SUCCESS);
    ASSERT_EQ(server.Start(root.Socket()), STATUS_SUCCESS);
  }

  // A kernel-side event in the System process, so that it exists however clients come and go.
  HANDLE SystemEvent(const std::u16string& name, bool manualReset) {
    HANDLE handle = nullptr;
    EXPECT_EQ(nb::kernel::NtCreateEvent(&handle, EVENT_ALL_ACCESS, u"\\BaseNamedObjects\\" + name,
                                        manualReset ? NotificationEvent : SynchronizationEvent, FALSE),
              STATUS_SUCCESS);
    return handle;
  }

  TempRoot root;
  nb::testing::Machine machine;
  nb::server::SocketServer server{machine.Kernel(), ReadFakedIdentity};
};

TEST_F(SocketServer, AProcessWaitingOnANamedEventIsReleasedByAnother) {
  nb::win::SocketChannel channel(root.Socket());
  nb::win::RequestTransport transport(channel);
  nb::win::ScopedTransport installed(transport);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, u"Global\\NbPeerEvent");
  ASSERT_NE(event, nullptr);
  Peer waiter(root.Path(), {"wait", "Global\\NbPeerEvent", "5000"}, true);
  ASSERT_NE(waiter.ReadUntil("waiting").find("waiting"), std::string::npos);
  EXPECT_EQ(ProcessName(machine.Kernel(), waiter.Pid()), "nbpeer.exe");
  EXPECT_EQ(server.ClientCount(), 2u);
  EXPECT_TRUE(SetEvent(event));
  EXPECT_EQ(waiter.Wait(), 0) << waiter.ReadUntil("never written");
  EXPECT_TRUE(CloseHandle(event));
}

TEST_F(SocketServer, AKilledProcessLeavesNothingOpen) {
  Peer holder(root.Path(), {"hold", "Probe"});
  ASSERT_NE(holder.ReadUntil("open").find("open"), std::string::npos);
  auto pid = static_cast<ULONG>(holder.Pid());
  EXPECT_EQ(server.ObjectsHeldBy(pid), 1u);
  EXPECT_EQ(probeRecord.Count(IRP_MJ_CREATE, pid), 1u);
  holder.Kill();
  EXPECT_TRUE(WaitUntil([&] { return server.ClientCount() == 0; }));
  EXPECT_EQ(probeRecord.Count(IRP_MJ_CLEANUP, pid), 1u);
  EXPECT_EQ(probeRecord.Count(IRP_MJ_CLOSE, pid), 1u);
  EXPECT_EQ(machine.Kernel().Processes().Find(pid), nullptr);
}

// Its connection's thread is held in the kernel's wait, where no hang-up reaches it.
TEST_F(SocketServer, AProcessKilledWhileWaitingIsClosed) {
  HANDLE event = SystemEvent(u"NbKilledWaiter", true);
  Peer waiter(root.Path(), {"wait", "NbKilledWaiter", "600000"});
  ASSERT_NE(waiter.ReadUntil("waiting").find("waiting"), std::string::npos);
  auto pid = static_cast<ULONG>(waiter.Pid());
  EXPECT_TRUE(WaitUntil([&] { return machine.Kernel().Handles().Count(pid) == 1; }));
  std::this_thread::sleep_for(50ms);  // into the wait
  waiter.Kill();
  bool closed = WaitUntil([&] { return server.ClientCount() == 0; });
  EXPECT_TRUE(closed);
  EXPECT_EQ(machine.Kernel().Handles().Count(pid), 0u);
  if (!closed) {
    EXPECT_EQ(nb::kernel::NtSetEvent(event, nullptr), STATUS_SUCCESS);  // lets Stop end
  }
  EXPECT_EQ(nb::kernel::NtClose(event), STATUS_SUCCESS);
}

TEST_F(SocketServer, ARecycledProcessIdIsANewProcess) {
  fakedStartTime = 100;
  nb::win::SocketChannel first(root.Socket());
  nb::win::RequestTransport earlier(first);
  nb::win::TransportObject old;
  ASSERT_EQ(earlier.OpenObject(nb::win::ObjectOpen{u"\\Device\\Probe", SYNCHRONIZE, 0, FILE_OPEN}, &old),
            STATUS_SUCCESS);
  auto pid = static_cast<ULONG>(getpid());
  EXPECT_EQ(server.ObjectsHeldBy(pid), 1u);

  // Another process now has the id: what the earlier one held is closed, not inherited.
  fakedStartTime = 200;
  nb::win::SocketChannel second(root.Socket());
  nb::win::RequestTransport later(second);
  nb::win::TransportObject fresh;
  ASSERT_EQ(later.OpenObject(nb::win::ObjectOpen{u"\\Device\\Probe", SYNCHRONIZE, 0, FILE_OPEN}, &fresh),
            STATUS_SUCCESS);
  EXPECT_EQ(probeRecord.Count(IRP_MJ_CLOSE, pid), 1u);
  EXPECT_EQ(server.ObjectsHeldBy(pid), 1u);
  EXPECT_EQ(server.ClientCount(), 1u);
  ULONG returned;
  EXPECT_EQ(earlier.DeviceControl(old, 1, nullptr, 0, nullptr, 0, &returned), nb::win::kHostUnreachable)
      << "the earlier process's connections are shut";

  // Connections of the same process share its objects.
  nb::win::SocketChannel third(root.Socket());
  nb::win::RequestTransport same(third);
  EXPECT_EQ(same.DeviceControl(fresh, 1, nullptr, 0, nullptr, 0, &returned), STATUS_SUCCESS);
}

// Makes `pid` the id the kernel gives the next process, as root may; false when it cannot.
bool NextProcessIdWillBe(pid_t pid) {
  std::ofstream last("/proc/sys/kernel/ns_last_pid");
  if (!last) return false;
  last << (pid - 1);
  last.flush();
  return static_cast<bool>(last);
}

// A real process on the id of one that ended with its connections still up (a child of
// it inherited them): the server tells them apart by their start time, so the new one
// neither inherits nor keeps alive what the earlier one held.
TEST_F(SocketServer, AProcessOnARecycledIdIsNotTheEarlierOne) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to choose the next process id";
  Peer first(root.Path(), {"orphan", "Probe"});
  std::string said = first.ReadUntil("\n");
  int orphan = 0;
  ASSERT_EQ(std::sscanf(said.c_str(), "open %d", &orphan), 1) << said;
  struct KillAtEnd {
    pid_t pid;
    ~KillAtEnd() { kill(pid, SIGKILL); }
  } orphanGoes{orphan};
  auto pid = static_cast<ULONG>(first.Pid());
  ASSERT_EQ(first.Wait(), 0);  // reaped: its id is free
  EXPECT_EQ(server.ObjectsHeldBy(pid), 1u) << "its connections are still up";

  std::unique_ptr<Peer> second;
  for (int attempt = 0; attempt < 50 && !second; ++attempt) {
    if (!NextProcessIdWillBe(static_cast<pid_t>(pid))) GTEST_SKIP() << "cannot choose the next process id";
    auto candidate = std::make_unique<Peer>(root.Path(), std::vector<std::string>{"hold", "Probe"});
    if (candidate->Pid() == static_cast<pid_t>(pid)) second = std::move(candidate);
  }
  if (!second) GTEST_SKIP() << "another process took the id each time";
  ASSERT_NE(second->ReadUntil("open").find("open"), std::string::npos);
  EXPECT_EQ(probeRecord.Count(IRP_MJ_CREATE, pid), 2u);
  EXPECT_EQ(probeRecord.Count(IRP_MJ_CLOSE, pid), 1u) << "the earlier process's device is closed";
  EXPECT_EQ(server.ObjectsHeldBy(pid), 1u) << "the new process holds its own only";
  EXPECT_EQ(server.ClientCount(), 1u);
  second->Kill();
  EXPECT_TRUE(WaitUntil([&] { return server.ClientCount() == 0; }));
  EXPECT_EQ(probeRecord.Count(IRP_MJ_CLOSE, pid), 2u);
}

// A mutex is the machine's: another process sees it exists, and a process killed while it
// owns it leaves it abandoned to whoever waits next, in another process or this one.
TEST_F(SocketServer, AMutexOfAKilledProcessIsAbandoned) {
  nb::win::SocketChannel channel(root.Socket());
  nb::win::RequestTransport transport(channel);
  nb::win::ScopedTransport installed(transport);
  Peer first(root.Path(), {"mutex", "Global\\NbPeerMutex"});
  ASSERT_NE(first.ReadUntil("owned").find("owned"), std::string::npos);
  HANDLE mutex = CreateMutexW(nullptr, TRUE, u"NbPeerMutex");
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(WaitForSingleObject(mutex, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the peer owns it";
  EXPECT_FALSE(ReleaseMutex(mutex));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));

  Peer second(root.Path(), {"mutex", "NbPeerMutex"});
  ASSERT_NE(second.ReadUntil("waiting").find("waiting"), std::string::npos);
  std::this_thread::sleep_for(50ms);  // into the wait
  first.Kill();
  EXPECT_NE(second.ReadUntil("owned abandoned").find("owned abandoned"), std::string::npos);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the second peer owns it";

  second.Kill();
  EXPECT_EQ(WaitForSingleObject(mutex, 5000), WAIT_ABANDONED_0);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0) << "this thread owns it now";
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_TRUE(CloseHandle(mutex));
}

// Each client thread has its connection; when the thread ends, so does the ownership of
// what it took, though its process lives on.
TEST_F(SocketServer, AMutexOfAThreadThatEndedIsAbandoned) {
  nb::win::SocketChannel channel(root.Socket());
  nb::win::RequestTransport transport(channel);
  nb::win::ScopedTransport installed(transport);
  HANDLE mutex = CreateMutexW(nullptr, FALSE, u"NbThreadMutex");
  ASSERT_NE(mutex, nullptr);
  std::thread owner([&] { EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0); });
  owner.join();
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE both[] = {event, mutex};
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 5000), WAIT_ABANDONED_0 + 1);
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_TRUE(CloseHandle(mutex));
}

// Over the socket a mutex's user is the Linux user of the process that made it: a process
// of another user is refused it, and what that process makes is open to root.
TEST_F(SocketServer, AnotherUsersProcessIsRefusedAMutex) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to start a process as another user";
  // The other user must reach the socket.
  ASSERT_EQ(chmod(root.Path().c_str(), 0755), 0);
  ASSERT_EQ(chmod((root.Path() + "/run").c_str(), 0755), 0);
  nb::win::SocketChannel channel(root.Socket());
  nb::win::RequestTransport transport(channel);
  nb::win::ScopedTransport installed(transport);
  HANDLE mine = CreateMutexW(nullptr, TRUE, u"Global\\NbRootsMutex");
  ASSERT_NE(mine, nullptr);
  Peer other(root.Path(), {"foreign", "NbRootsMutex", "NbNobodysMutex"}, true);
  std::string said = other.ReadUntil("refused and made");
  ASSERT_NE(said.find("refused and made"), std::string::npos) << said << " exit " << other.Wait();
  HANDLE theirs = OpenMutexW(SYNCHRONIZE, FALSE, u"NbNobodysMutex");
  ASSERT_NE(theirs, nullptr) << GetLastError();
  EXPECT_EQ(WaitForSingleObject(theirs, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the other process owns it";
  other.Kill();
  EXPECT_EQ(WaitForSingleObject(theirs, 5000), WAIT_ABANDONED_0);
  EXPECT_TRUE(ReleaseMutex(theirs));
  EXPECT_TRUE(CloseHandle(theirs));
  EXPECT_TRUE(ReleaseMutex(mine));
  EXPECT_TRUE(CloseHandle(mine));
}

TEST_F(SocketServer, AnUnreachableHostFailsAtOnceAndSaysSoOnce) {
  TempRoot empty;
  Peer peer(empty.Path(), {"unreachable"}, true);
  std::string output = peer.ReadUntil("\n");
  EXPECT_EQ(peer.Wait(), 0) << output;
  output = peer.ReadUntil("never written");
  std::string message = "cannot reach the Nimbra host at " + empty.Socket() + ": is nbhost running?\n";
  EXPECT_EQ(output, message);
}

// ---- Files of a client that is killed ----

// A machine with a hostfs volume X: under the filter driver, and the socket served.
class SocketFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    drive = root.Path() + "/drive";
    std::filesystem::create_directories(drive + "/dir");
    std::ofstream(drive + "/dir/file.txt") << "data";
    ASSERT_EQ(machine.AddHostVolume('X', drive), STATUS_SUCCESS);
    ASSERT_EQ(machine.LoadDriver(u"\\Driver\\nbfs36", nbfsDriverEntry), STATUS_SUCCESS);
    {
      // The drive is under the filter before any client comes.
      nb::win::InProcessTransport local;
      nb::win::ScopedTransport installed(local);
      ASSERT_EQ(RegisterDrive(u'X'), 0);
    }
    ASSERT_EQ(server.Start(root.Socket()), STATUS_SUCCESS);
  }

  ULONG Count(ULONG code) {
    ULONG value = ~0u;
    EXPECT_EQ(machine.DeviceControl(NBFS_LINK_NAME, code, nullptr, 0, &value, sizeof value), STATUS_SUCCESS);
    return value;
  }
  std::vector<NBFS_PROC> GlobalTrusted() {
    std::vector<NBFS_PROC> records(Count(GET_GLOBAL_PROC_COUNT));
    if (records.empty()) return records;
    ULONG bytes = static_cast<ULONG>(records.size() * sizeof(NBFS_PROC));
    EXPECT_EQ(machine.DeviceControl(NBFS_LINK_NAME, GET_GLOBAL_PROC_INFO, nullptr, 0, records.data(), bytes),
              STATUS_SUCCESS);
    return records;
  }

  TempRoot root;
  std::string drive;
  nb::testing::Machine machine;
  nb::server::SocketServer server{machine.Kernel()};
};

// The driver keeps a name for every file object open on its volumes: they must all be
// closed (CLEANUP and CLOSE) when the process that held them dies, while what the process
// registered with the driver is the driver's to keep.
TEST_F(SocketFiles, AKilledClientLeavesItsFilesClosedAndItsTrustAlone) {
  ULONG cachedBefore = Count(GET_CACHE_COUNT);
  Peer holder(root.Path(), {"files", "nbpeer.exe", "X:\\dir"}, true);
  ASSERT_NE(holder.ReadUntil("open").find("open"), std::string::npos) << holder.ReadUntil("never written");
  auto pid = static_cast<ULONG>(holder.Pid());
  EXPECT_EQ(server.ObjectsHeldBy(pid), 3u) << "a file, a listing and a folder; the control device was closed";
  EXPECT_EQ(Count(GET_CACHE_COUNT), cachedBefore + 3);
  // The trust the peer registered lets it write the file it holds.
  std::vector<NBFS_PROC> trusted = GlobalTrusted();
  ASSERT_EQ(trusted.size(), 1u);
  EXPECT_EQ(trusted[0].pid, pid);

  holder.Kill();
  EXPECT_TRUE(WaitUntil([&] { return server.ClientCount() == 0; }));
  EXPECT_EQ(Count(GET_CACHE_COUNT), cachedBefore);
  trusted = GlobalTrusted();
  ASSERT_EQ(trusted.size(), 1u);
  EXPECT_EQ(trusted[0].pid, pid);
  EXPECT_STREQ(trusted[0].name, "nbpeer.exe");
  EXPECT_EQ(trusted[0].permission, NBFS_PERMISSION_FULL);
}

// ---- Messages that do not decode ----

int RawConnection(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  int buffer = 1 << 20;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, path.size());
  EXPECT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  return fd;
}

Bytes Exchange(int fd, const Bytes& message) {
  EXPECT_EQ(send(fd, message.data(), message.size(), MSG_NOSIGNAL), static_cast<ssize_t>(message.size()));
  Bytes reply(nb::protocol::kMaxMessageBytes);
  ssize_t got = recv(fd, reply.data(), reply.size(), 0);
  reply.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return reply;
}

TEST_F(SocketServer, MessagesThatDoNotDecodeGetRefusalsAndServingGoesOn) {
  using namespace nb::protocol;
  Bytes valid;
  ASSERT_EQ(EncodeRequest(QuerySymbolicLinkRequest{u"\\DosDevices\\Probe"}, &valid), STATUS_SUCCESS);
  Bytes otherVersion = valid;
  otherVersion[4] = 9;
  Bytes unknownKind = valid;
  unknownKind[6] = 99;
  Bytes wrongLength = valid;
  wrongLength[0] += 1;
  Bytes oversized(kMaxMessageBytes + 100, 0);
  oversized[6] = static_cast<uint8_t>(Kind::kDeviceControl);
  struct Case {
    const char* what;
    Bytes message;
    uint16_t kind;
    NTSTATUS status;
  };
  const Case cases[] = {
      {"no header", {1, 2, 3}, 0, STATUS_INVALID_PARAMETER},
      {"another version", otherVersion, static_cast<uint16_t>(Kind::kQuerySymbolicLink), STATUS_REVISION_MISMATCH},
      {"an unknown kind", unknownKind, 99, STATUS_NOT_IMPLEMENTED},
      {"a length that disagrees", wrongLength, static_cast<uint16_t>(Kind::kQuerySymbolicLink),
       STATUS_INVALID_PARAMETER},
      {"over the cap", oversized, static_cast<uint16_t>(Kind::kDeviceControl), STATUS_INVALID_PARAMETER},
  };
  int fd = RawConnection(root.Socket());
  for (const Case& c : cases) {
    EXPECT_EQ(Exchange(fd, c.message), EncodeRefusal(c.kind, c.status)) << c.what;
    NTSTATUS status;
    Reply reply;
    ASSERT_EQ(DecodeReply(Exchange(fd, valid), Kind::kQuerySymbolicLink, &status, &reply), STATUS_SUCCESS) << c.what;
    EXPECT_EQ(status, STATUS_SUCCESS) << c.what;
    EXPECT_EQ(std::get<QuerySymbolicLinkReply>(reply).target, u"\\Device\\Probe") << c.what;
  }
  close(fd);
}

TEST_F(SocketServer, APeerThatLeavesMidRequestIsClosed) {
  using namespace nb::protocol;
  int fd = RawConnection(root.Socket());
  Bytes create;
  ASSERT_EQ(EncodeRequest(CreateEventRequest{.handle = 0, .manualReset = true}, &create), STATUS_SUCCESS);
  NTSTATUS status;
  Reply reply;
  ASSERT_EQ(DecodeReply(Exchange(fd, create), Kind::kCreateEvent, &status, &reply), STATUS_SUCCESS);
  ASSERT_EQ(status, STATUS_SUCCESS);
  Bytes wait;
  ASSERT_EQ(EncodeRequest(WaitForObjectsRequest{.objects = {std::get<CreateEventReply>(reply).object}}, &wait),
            STATUS_SUCCESS);
  ASSERT_EQ(send(fd, wait.data(), wait.size(), MSG_NOSIGNAL), static_cast<ssize_t>(wait.size()));
  // Half a message, then gone.
  int other = RawConnection(root.Socket());
  ASSERT_EQ(send(other, wait.data(), 5, MSG_NOSIGNAL), 5);
  close(other);
  std::this_thread::sleep_for(50ms);
  close(fd);
  EXPECT_TRUE(WaitUntil([&] { return server.ClientCount() == 0; }));
  EXPECT_EQ(machine.Kernel().Handles().Count(static_cast<ULONG>(getpid())), 0u);

  nb::win::SocketChannel channel(root.Socket());
  nb::win::RequestTransport transport(channel);
  std::u16string target;
  EXPECT_EQ(transport.QuerySymbolicLink(u"\\DosDevices\\Probe", &target), STATUS_SUCCESS);
}

// ---- Starting and stopping ----

TEST_F(SocketServer, StopEndsWaitsUnderWayAndRemovesTheSocket) {
  nb::win::SocketChannel channel(root.Socket());
  nb::win::RequestTransport transport(channel);
  nb::win::ScopedTransport installed(transport);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  std::atomic<DWORD> waited{0};
  std::atomic<DWORD> error{0};
  std::thread waiter([&] {
    waited = WaitForSingleObject(event, INFINITE);
    error = GetLastError();
  });
  std::this_thread::sleep_for(100ms);
  server.Stop();
  waiter.join();
  EXPECT_EQ(waited.load(), WAIT_FAILED);
  EXPECT_EQ(error.load(), static_cast<DWORD>(ERROR_NOT_READY));
  EXPECT_FALSE(std::filesystem::exists(root.Socket()));
  EXPECT_EQ(machine.Kernel().Processes().Find(static_cast<ULONG>(getpid())), nullptr);
}

TEST_F(SocketServer, StartRefusesALiveSocketAndReplacesADeadOne) {
  struct stat status;
  ASSERT_EQ(stat(root.Socket().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0666u);
  nb::server::SocketServer second(machine.Kernel());
  EXPECT_EQ(second.Start(root.Socket()), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(second.Start(root.Path() + "/missing/nbhost.sock"), STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(second.Start(root.Path() + "/" + std::string(120, 'x')), STATUS_NAME_TOO_LONG);

  // A socket file whose server died without removing it.
  std::string dead = root.Path() + "/run/dead.sock";
  int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  dead.copy(address.sun_path, dead.size());
  ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  close(fd);
  EXPECT_EQ(second.Start(dead), STATUS_SUCCESS);
  nb::win::SocketChannel channel(dead);
  nb::win::RequestTransport transport(channel);
  std::u16string target;
  EXPECT_EQ(transport.QuerySymbolicLink(u"\\DosDevices\\Probe", &target), STATUS_SUCCESS);
}

}  // namespace
