// Process objects and the process each thread currently runs in.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include <ntifs.h>

namespace nb::kernel {

// Layout of the process object blob. Drivers may only rely on the name being
// somewhere in the first 0x3000 bytes.
inline constexpr size_t kProcessObjectSize = 0x3000;
inline constexpr size_t kProcessIdOffset = 0x84;
inline constexpr size_t kProcessNameOffset = 0x174;
inline constexpr size_t kProcessNameLength = 16;  // 15 characters and a NUL
inline constexpr ULONG kSystemProcessId = 4;

class ProcessTable {
 public:
  ProcessTable();
  ~ProcessTable();

  PEPROCESS System() const { return system_; }
  // The process object of `id`, created with `imageName` (cut to 15 characters) when new;
  // an existing process gets the new name.
  // Such a process stays for the kernel's life.
  PEPROCESS Get(ULONG id, std::string_view imageName);
  PEPROCESS Find(ULONG id) const;
  // The same for a holder that lets it go with Release: the process object goes with the
  // last holder (unless Get made it permanent), so one holder ending never frees it
  // under another. Release is true when the object went.
  PEPROCESS Acquire(ULONG id, std::string_view imageName);
  bool Release(ULONG id);

  static ULONG IdOf(PEPROCESS process);
  static std::string NameOf(PEPROCESS process);

 private:
  mutable std::mutex mutex_;
  struct Entry {
    std::unique_ptr<unsigned char[]> blob;
    size_t holders = 0;     // Acquire calls not yet released
    bool permanent = false;  // made or found by Get
  };
  // Finds or makes the entry of `id` with `imageName`; mutex_ is held.
  Entry& EntryOf(ULONG id, std::string_view imageName);

  std::map<ULONG, Entry> processes_;
  PEPROCESS system_ = nullptr;
};

// The process the calling thread acts in; the System process unless set.
PEPROCESS CurrentProcess();
void SetCurrentProcess(PEPROCESS process);

// Runs the enclosing scope in another process, restoring the previous one at its end.
class ProcessScope {
 public:
  explicit ProcessScope(PEPROCESS process) : previous_(CurrentProcess()) { SetCurrentProcess(process); }
  ~ProcessScope() { SetCurrentProcess(previous_); }
  ProcessScope(const ProcessScope&) = delete;
  ProcessScope& operator=(const ProcessScope&) = delete;

 private:
  PEPROCESS previous_;
};

}  // namespace nb::kernel
