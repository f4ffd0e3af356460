// CVAULTObj running processes: ProcCount and ProcGetList.
#include <algorithm>
#include <cstring>

#include <windows.h>

#include "VAULTSdk.h"
#include "process_enumerator.h"

namespace {

// Both operations ask for tool help with the 16-bit tasks, taken only where both exist.
constexpr int kPreferredMethod = vault::kMethodToolHelp | vault::kMethodVdm;

}  // namespace

int CVAULTObj::ProcCount() {
  vault::ProcessEnumerator enumerator;
  enumerator.Use(kPreferredMethod);
  int count = 0;
  enumerator.ForEach([&count](const std::u16string&, DWORD) {
    ++count;
    return true;
  });
  return count;
}

int CVAULTObj::ProcGetList(_PROC_INFORMATION* out, int max) {
  if (!out || max <= 0) return 0;
  vault::ProcessEnumerator enumerator;
  enumerator.Use(kPreferredMethod);
  int filled = 0;
  enumerator.ForEach([&](const std::u16string& name, DWORD pid) {
    _PROC_INFORMATION& entry = out[filled++];
    // The first 15 characters and their NUL.
    size_t length = std::min(name.size(), PROC_NAME_UNITS - 1);
    std::copy_n(name.begin(), length, entry.procName);
    entry.procName[length] = 0;
    entry.pid = pid;
    return filled < max;
  });
  return filled;
}
