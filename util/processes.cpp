// TerminateProc and TerminateProcEx: trusted processes taken off the driver's lists and
// terminated.
#include <cstring>
#include <functional>
#include <new>
#include <optional>
#include <vector>

#include "NBUtil.h"
#include "default_folder.h"
#include "nbclient.h"

namespace {

constexpr int kReadAttempts = 3;

// The processes of one list; empty when it cannot be read. A list that grows between its
// count and its read is counted again.
std::vector<NBFS_PROC> ReadList(const std::function<int(ULONG*)>& count,
                                const std::function<int(void*, ULONG)>& read) {
  std::vector<NBFS_PROC> processes;
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    ULONG n = 0;
    if (count(&n) != 0 || n == 0) return {};
    try {
      processes.assign(n, NBFS_PROC{});
    } catch (const std::bad_alloc&) {
      return {};
    }
    if (read(processes.data(), static_cast<ULONG>(n * sizeof(NBFS_PROC))) == 0) return processes;
  }
  return {};
}

void Terminate(DWORD pid) {
  HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
  if (!process) return;  // gone, or not ours to end: its list entry is removed all the same
  TerminateProcess(process, 0);
  CloseHandle(process);
}

// Removes each process from its list and terminates it; the calling process comes last,
// so that ending itself does not leave the others behind.
void RemoveAndTerminate(const std::vector<NBFS_PROC>& processes, const std::function<void(const char*, ULONG)>& remove) {
  DWORD self = GetCurrentProcessId();
  std::optional<NBFS_PROC> own;
  for (const NBFS_PROC& process : processes) {
    if (process.pid == self) {
      own = process;
      continue;
    }
    char name[NBFS_PROC_NAME_BYTES + 1] = {};
    std::memcpy(name, process.name, NBFS_PROC_NAME_BYTES);
    remove(name, process.pid);
    Terminate(process.pid);
  }
  if (own) {
    char name[NBFS_PROC_NAME_BYTES + 1] = {};
    std::memcpy(name, own->name, NBFS_PROC_NAME_BYTES);
    remove(name, own->pid);
    Terminate(own->pid);
  }
}

}  // namespace

void TerminateProc() {
  std::vector<NBFS_PROC> processes = ReadList([](ULONG* n) { return NB_GetGlobalProcCount(n); },
                                              [](void* buffer, ULONG size) { return NB_GetGlobalProcInfo(buffer, size); });
  RemoveAndTerminate(processes, [](const char* name, ULONG pid) { NB_RemoveGlobalProcess(name, pid); });
}

void TerminateProcEx() {
  std::optional<std::u16string> folder = nbutil::DefaultFolder();
  if (!folder) return;
  nbutil::DrivePath split = nbutil::SplitDrivePath(*folder);
  const WCHAR* path = split.path.c_str();
  WCHAR letter = split.letter;
  std::vector<NBFS_PROC> processes =
      ReadList([&](ULONG* n) { return NB_GetProcCount(letter, path, n); },
               [&](void* buffer, ULONG size) { return NB_GetProcInfo(letter, path, buffer, size); });
  RemoveAndTerminate(processes, [&](const char* name, ULONG pid) { NB_RemoveProcess(letter, path, name, pid); });
}
