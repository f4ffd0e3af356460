// A host-backed drive X: with the filter driver registered on it, served by the FUSE
// front end at a temporary mount point, and helpers to run real processes on the mount.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver.h"
#include "driver_test_support.h"
#include "host_volume_fixture.h"
#include "nb/fuse/volume_mount.h"

namespace nb::fuse::testing {

// Why FUSE tests cannot run here, or empty when they can.
std::string FuseUnavailableReason();

class MountTest : public nb::hostfs::testing::HostVolumeTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  NTSTATUS Control(ULONG code, const void* input, ULONG inputLength);
  NTSTATUS Lock(const std::u16string& path, ULONG type, ULONG timeout = 0);
  NTSTATUS Unlock(const std::u16string& path);
  NTSTATUS Pause(const std::u16string& path);
  NTSTATUS Resume(const std::u16string& path);
  NTSTATUS Trust(const std::u16string& path, ULONG pid, const std::string& imageName, ULONG permission);

  // A path on the mount.
  std::string Mounted(const std::string& relative) const { return mountPoint_ + "/" + relative; }
  // Runs a program (argv[0] is its path) with its standard output captured; `beforeStart`
  // runs with the child's pid before the child execs (to trust it by pid).
  std::string Run(const std::vector<std::string>& argv, const std::function<void(pid_t)>& beforeStart = {},
                  int* exitCode = nullptr);
  // fs_probe OP PATH [ARG] on the mount: "ok", "ok:DATA" or an errno name.
  std::string Probe(const std::string& op, const std::string& relative, const std::string& arg = {},
                    const std::function<void(pid_t)>& beforeStart = {});
  // The same as a process trusted on `lockPath` with `permission`.
  std::string TrustedProbe(const std::u16string& lockPath, ULONG permission, const std::string& op,
                           const std::string& relative, const std::string& arg = {});

  nb::fuse::VolumeMount mount_{machine_.Kernel()};
  std::string mountPoint_;
};

}  // namespace nb::fuse::testing
