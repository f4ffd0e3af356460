// Caller identity through the image-name offset of the process object.
#include "identity.h"

#include <atomic>

namespace {
constexpr ULONG kScanLength = 0x3000;
constexpr char kSystemName[] = "System";

std::atomic<ULONG> nameOffset{0};
std::atomic<ULONG> systemProcessId{0};
}  // namespace

void FindProcessNameOffset() {
  const auto* process = reinterpret_cast<const UCHAR*>(PsGetCurrentProcess());
  for (ULONG offset = 0; offset + sizeof kSystemName - 1 <= kScanLength; ++offset) {
    if (RtlEqualMemory(process + offset, kSystemName, sizeof kSystemName - 1)) {
      nameOffset = offset;
      systemProcessId = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId()));
      return;
    }
  }
}

void ForgetProcessNameOffset() {
  nameOffset = 0;
  systemProcessId = 0;
}

bool ProcessNameOffsetKnown() { return nameOffset != 0; }

ULONG SystemProcessId() { return systemProcessId; }

bool CallerIdentity(CHAR (&name)[NBFS_PROC_NAME_BYTES], ULONG* id) {
  RtlZeroMemory(name, sizeof name);
  ULONG offset = nameOffset;
  if (offset == 0) {
    *id = 0;
    return false;
  }
  RtlCopyMemory(name, reinterpret_cast<const UCHAR*>(PsGetCurrentProcess()) + offset, NBFS_PROC_NAME_BYTES - 1);
  *id = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId()));
  return true;
}
