// The machine's processes as Windows programs see them, read from the host's /proc: ids
// and image names follow the kernel's identity rules (the System process is id 4, the
// host's kernel threads are part of it; a host process is named by its executable).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "nb/basetypes.h"

namespace nb::win {

inline constexpr DWORD kSystemProcessId = 4;
inline constexpr uint64_t kKernelThreadFlag = 0x00200000;  // PF_KTHREAD of /proc/PID/stat

struct HostProcess {
  DWORD processId = 0;
  DWORD parentProcessId = 0;
  DWORD threads = 0;
  std::u16string imageName;  // "System", "NBSvc.exe", "smbd.exe" ...
};

// The System process first, then every live host process whose executable can be read,
// by id. Kernel threads, zombies and the host process that happens to have id 4 are left
// out. False with a Win32 error when /proc cannot be read.
bool ListHostProcesses(std::vector<HostProcess>* processes, DWORD* error);

// The fields of /proc/PID/stat that enumeration needs.
struct ProcessStat {
  char state = 0;
  DWORD parentProcessId = 0;
  uint64_t flags = 0;
  DWORD threads = 0;
};
// False for text that is not a stat line (the command may hold any character).
bool ParseProcessStat(std::string_view text, ProcessStat* stat);

// A module mapped into a process: one file with an executable mapping.
struct HostModule {
  uintptr_t base = 0;  // lowest mapping of the file
  uintptr_t size = 0;  // up to the end of its highest mapping
  std::string hostPath;
};

// The modules of /proc/PID/maps text: the executable (`executablePath`) first, the others
// by address. Files that are only mapped as data are no modules.
std::vector<HostModule> ModulesOfMaps(std::string_view mapsText, std::string_view executablePath);

// A /proc/PID directory held open: it keeps naming the same process even when the id is
// reused, and reads fail once the process has gone.
class ProcessDirectory {
 public:
  explicit ProcessDirectory(int fd) : fd_(fd) {}
  ~ProcessDirectory();
  ProcessDirectory(const ProcessDirectory&) = delete;
  ProcessDirectory& operator=(const ProcessDirectory&) = delete;

  int fd() const { return fd_; }
  // The executable's host path; false with a Win32 error.
  bool Executable(std::string* path, DWORD* error) const;
  bool Modules(std::vector<HostModule>* modules, DWORD* error) const;

 private:
  int fd_;
};

}  // namespace nb::win
