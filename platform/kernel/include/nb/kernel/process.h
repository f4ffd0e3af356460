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
  PEPROCESS Get(ULONG id, std::string_view imageName);
  PEPROCESS Find(ULONG id) const;
  void Remove(ULONG id);

  static ULONG IdOf(PEPROCESS process);
  static std::string NameOf(PEPROCESS process);

 private:
  mutable std::mutex mutex_;
  std::map<ULONG, std::unique_ptr<unsigned char[]>> processes_;
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
