// The mount fixture: the filter on X:, X: mounted with FUSE, and child processes.
#include "mount_fixture.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "nbfsctl.h"

namespace nb::fuse::testing {

std::string FuseUnavailableReason() {
  if (geteuid() != 0) return "mounting with FUSE needs root";
  if (access("/dev/fuse", R_OK | W_OK) != 0) return "/dev/fuse is not available";
  return {};
}

void MountTest::SetUp() {
  std::string reason = FuseUnavailableReason();
  if (!reason.empty()) GTEST_SKIP() << reason;
  HostVolumeTest::SetUp();
  ASSERT_EQ(machine_.LoadDriver(u"\\Driver\\nbfs36", nbfsDriverEntry), STATUS_SUCCESS);
  NBFS_ENTRY drive = nbfs_test::Entry('X');
  ASSERT_EQ(Control(ADD_SERVICE, &drive, sizeof drive), STATUS_SUCCESS);
  mountPoint_ = (top_ / "mnt").string();
  std::filesystem::create_directory(mountPoint_);
  nb::fuse::MountParameters parameters;
  parameters.volume = u"\\DosDevices\\X:";
  parameters.mountPoint = mountPoint_;
  ASSERT_EQ(mount_.Mount(parameters), STATUS_SUCCESS);
}

void MountTest::TearDown() {
  mount_.Unmount();
  if (!top_.empty()) HostVolumeTest::TearDown();
}

NTSTATUS MountTest::Control(ULONG code, const void* input, ULONG inputLength) {
  return machine_.DeviceControl(NBFS_LINK_NAME, code, input, inputLength, nullptr, 0);
}

NTSTATUS MountTest::Lock(const std::u16string& path, ULONG type, ULONG timeout) {
  NBFS_ENTRY entry = nbfs_test::Entry('X', path, type, timeout);
  return Control(ADD_ENTRY, &entry, sizeof entry);
}
NTSTATUS MountTest::Unlock(const std::u16string& path) {
  NBFS_ENTRY entry = nbfs_test::Entry('X', path);
  return Control(DEL_ENTRY, &entry, sizeof entry);
}
NTSTATUS MountTest::Pause(const std::u16string& path) {
  NBFS_ENTRY entry = nbfs_test::Entry('X', path);
  return Control(PAUSE_ENTRY, &entry, sizeof entry);
}
NTSTATUS MountTest::Resume(const std::u16string& path) {
  NBFS_ENTRY entry = nbfs_test::Entry('X', path);
  return Control(RESUME_ENTRY, &entry, sizeof entry);
}

NTSTATUS MountTest::Trust(const std::u16string& path, ULONG pid, const std::string& imageName, ULONG permission) {
  NBFS_PROC proc{};
  proc.letter = 'X';
  std::memcpy(proc.path, path.c_str(), (path.size() + 1) * sizeof(char16_t));
  proc.permission = permission;
  proc.pid = pid;
  std::strncpy(proc.name, imageName.c_str(), sizeof proc.name - 1);
  return Control(ADD_PROC, &proc, sizeof proc);
}

std::string MountTest::Run(const std::vector<std::string>& argv, const std::function<void(pid_t)>& beforeStart,
                           int* exitCode) {
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  int gate[2], output[2];
  if (pipe2(gate, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0) return "pipe failed";
  pid_t child = fork();
  if (child == 0) {
    // Only async-signal-safe calls until exec: the parent has other threads.
    char go;
    if (read(gate[0], &go, 1) != 1) _exit(126);
    dup2(output[1], STDOUT_FILENO);
    execv(args[0], args.data());
    _exit(127);
  }
  close(gate[0]);
  close(output[1]);
  if (beforeStart) beforeStart(child);
  (void)!write(gate[1], "g", 1);
  close(gate[1]);
  std::string text;
  char buffer[4096];
  ssize_t got;
  while ((got = read(output[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(got));
  close(output[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (exitCode) *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

std::string MountTest::Probe(const std::string& op, const std::string& relative, const std::string& arg,
                             const std::function<void(pid_t)>& beforeStart) {
  std::vector<std::string> argv{FS_PROBE, op, Mounted(relative)};
  if (!arg.empty()) argv.push_back(op == "rename" || op == "link" ? Mounted(arg) : arg);
  return Run(argv, beforeStart);
}

std::string MountTest::TrustedProbe(const std::u16string& lockPath, ULONG permission, const std::string& op,
                                    const std::string& relative, const std::string& arg) {
  return Probe(op, relative, arg, [&](pid_t pid) {
    EXPECT_EQ(Trust(lockPath, static_cast<ULONG>(pid), "fs_probe.exe", permission), STATUS_SUCCESS);
  });
}

}  // namespace nb::fuse::testing
