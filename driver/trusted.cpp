// Trusted-process nodes, the global list, the System node and the lookups.
#include "trusted.h"

#include <cctype>

#include "identity.h"
#include "log.h"
#include "nb/resource_guard.h"

namespace {

constexpr ULONG kProcessTag = 'rPbN';  // as the table frees process lists
constexpr ULONG kStateTag = 'sTbN';
constexpr char kSystemName[] = "System";

struct TrustedState {
  ERESOURCE lock;  // guards `processes`; a leaf lock
  LIST_ENTRY processes;
  TrustedProcess* system;  // made at load, read-only afterwards
};

TrustedState* trusted = nullptr;

bool NameEqual(const CHAR* a, const CHAR* b) {
  size_t length = strnlen(a, NBFS_PROC_NAME_BYTES);
  if (length != strnlen(b, NBFS_PROC_NAME_BYTES)) return false;
  for (size_t i = 0; i < length; ++i) {
    if (std::tolower(static_cast<UCHAR>(a[i])) != std::tolower(static_cast<UCHAR>(b[i]))) return false;
  }
  return true;
}

// The first node of a list matching the caller, or NBFS_NOT_TRUSTED; the lock is held.
ULONG PermissionIn(LIST_ENTRY* list, const CHAR* name, ULONG id) {
  TrustedProcess* node = FindTrustedProcess(list, name, id);
  return node ? node->permission : NBFS_NOT_TRUSTED;
}

ULONG LookupGlobal(const CHAR* name, ULONG id) {
  nb::ExclusiveLock guard(trusted->lock);
  return PermissionIn(&trusted->processes, name, id);
}

}  // namespace

TrustedProcess* AllocateTrustedProcess(ULONG permission, ULONG id, const CHAR* name) {
  auto* node = static_cast<TrustedProcess*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(TrustedProcess), kProcessTag));
  if (!node) return nullptr;
  node->permission = permission;
  node->id = id;
  RtlCopyMemory(node->name, name, NBFS_PROC_NAME_BYTES);
  node->name[NBFS_PROC_NAME_BYTES - 1] = 0;
  return node;
}

void FreeTrustedProcess(TrustedProcess* node) { ExFreePoolWithTag(node, kProcessTag); }

TrustedProcess* FindTrustedProcess(LIST_ENTRY* list, const CHAR* name, ULONG id) {
  for (LIST_ENTRY* link = list->Flink; link != list; link = link->Flink) {
    auto* node = CONTAINING_RECORD(link, TrustedProcess, link);
    if (node->id == id && NameEqual(node->name, name)) return node;
  }
  return nullptr;
}

ULONG CountTrustedProcesses(const LIST_ENTRY* list) {
  ULONG count = 0;
  for (const LIST_ENTRY* link = list->Flink; link != list; link = link->Flink) ++count;
  return count;
}

void FillProcRecord(NBFS_PROC* record, UCHAR letter, const WCHAR* path, ULONG pathLength,
                    const TrustedProcess* node) {
  RtlZeroMemory(record, sizeof *record);
  record->letter = letter;
  if (pathLength) RtlCopyMemory(record->path, path, pathLength);
  record->permission = node->permission;
  record->pid = node->id;
  RtlCopyMemory(record->name, node->name, NBFS_PROC_NAME_BYTES);
}

NTSTATUS TrustedInitialize() {
  auto* state = static_cast<TrustedState*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(TrustedState), kStateTag));
  if (!state) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = ExInitializeResourceLite(&state->lock);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(state, kStateTag);
    return status;
  }
  InitializeListHead(&state->processes);
  if (ProcessNameOffsetKnown()) {
    CHAR name[NBFS_PROC_NAME_BYTES] = {};
    RtlCopyMemory(name, kSystemName, sizeof kSystemName);
    state->system = AllocateTrustedProcess(NBFS_PERMISSION_FULL, SystemProcessId(), name);
    if (!state->system) nbfsLog(LOG_ERROR, "AddSystemProc: cannot alloc buf\n");
  }
  trusted = state;
  return STATUS_SUCCESS;
}

void TrustedShutdown() {
  if (!trusted) return;
  {
    nb::ExclusiveLock guard(trusted->lock);
    FreeProcessList(&trusted->processes);
  }
  if (trusted->system) FreeTrustedProcess(trusted->system);
  ExDeleteResourceLite(&trusted->lock);
  ExFreePoolWithTag(trusted, kStateTag);
  trusted = nullptr;
}

ULONG LookupTrustedForEntry(LockEntry* entry) {
  CHAR name[NBFS_PROC_NAME_BYTES];
  ULONG id;
  if (!CallerIdentity(name, &id)) return NBFS_NOT_TRUSTED;
  if (ULONG permission = LookupGlobal(name, id)) return permission;
  nb::SharedLock guard(entry->lock);
  return PermissionIn(&entry->processes, name, id);
}

ULONG LookupTrustedForDrive(VolumeRecord* volume) {
  CHAR name[NBFS_PROC_NAME_BYTES];
  ULONG id;
  if (!CallerIdentity(name, &id)) return NBFS_NOT_TRUSTED;
  if (ULONG permission = LookupGlobal(name, id)) return permission;
  // The drive's list is guarded by the volume lock, which the caller holds.
  AssertHeld(volume->lock);
  return PermissionIn(&volume->processes, name, id);
}

bool isSystemProcess() {
  if (!trusted || !trusted->system) return false;
  CHAR name[NBFS_PROC_NAME_BYTES];
  ULONG id;
  if (!CallerIdentity(name, &id)) return false;
  return id == trusted->system->id && NameEqual(name, trusted->system->name);
}

NTSTATUS AddGlobalProc(ULONG id, const CHAR* name) {
  // Global registrations always carry full access, whatever the request asked for.
  TrustedProcess* node = AllocateTrustedProcess(NBFS_PERMISSION_FULL, id, name);
  if (!node) {
    nbfsLog(LOG_ERROR, "AddGlobalProc: cannot alloc buf\n");
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  {
    nb::ExclusiveLock guard(trusted->lock);
    if (!FindTrustedProcess(&trusted->processes, node->name, id)) {
      InsertTailList(&trusted->processes, &node->link);
      return STATUS_SUCCESS;
    }
  }
  FreeTrustedProcess(node);
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS DelGlobalProc(ULONG id, const CHAR* name) {
  TrustedProcess* node;
  {
    nb::ExclusiveLock guard(trusted->lock);
    node = FindTrustedProcess(&trusted->processes, name, id);
    if (node) RemoveEntryList(&node->link);
  }
  if (!node) return STATUS_INVALID_PARAMETER;
  FreeTrustedProcess(node);
  return STATUS_SUCCESS;
}

ULONG GetGlobalProcCount() {
  nb::ExclusiveLock guard(trusted->lock);
  return CountTrustedProcesses(&trusted->processes);
}

NTSTATUS nbfsGetGProcInfo(void* buffer, ULONG length) {
  {
    nb::ExclusiveLock guard(trusted->lock);
    ULONG count = CountTrustedProcesses(&trusted->processes);
    if (count == 0) return STATUS_SUCCESS;
    if (static_cast<ULONGLONG>(count) * sizeof(NBFS_PROC) <= length) {
      auto* records = static_cast<NBFS_PROC*>(buffer);
      for (LIST_ENTRY* link = trusted->processes.Flink; link != &trusted->processes; link = link->Flink) {
        FillProcRecord(records++, 0, nullptr, 0, CONTAINING_RECORD(link, TrustedProcess, link));
      }
      return STATUS_SUCCESS;
    }
  }
  // Logged after the global lock is released: it is never held with another.
  nbfsLog(LOG_ERROR, "nbfsGetGProcInfo: buffer too small\n");
  return STATUS_BUFFER_TOO_SMALL;
}
