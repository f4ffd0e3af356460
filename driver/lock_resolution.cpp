// Resolving the governing lock and the caller's standing.
#include "lock_resolution.h"

#include "nb/resource_guard.h"
#include "path_rules.h"
#include "timer.h"
#include "trusted.h"

namespace {

// A drive-wide lock holds while it has flags or a saved type (a timed lock, open or not).
bool DriveLocked(const VolumeRecord* volume) { return volume->flags != NBFS_LOCK_OPEN || volume->savedType != 0; }

}  // namespace

GoverningLock ResolveGoverningLock(VolumeRecord* volume, const WCHAR* path, ULONG length) {
  GoverningLock lock;
  nb::SharedLock guard(volume->lock);
  lock.volumeHasEntries = !IsListEmpty(&volume->entries);
  if (lock.volumeHasEntries) {
    LockEntry* entry = GoverningEntry(volume, path, length);
    if (!entry) return lock;
    lock.entryGoverns = true;
    lock.governed = true;
    lock.pathIsEntry = PathEqual(path, length, entry->path, entry->pathLength);
    ResetEntryIdle(entry);
    if (entry->pause & ENTRY_PAUSE) return lock;
    lock.applies = true;
    lock.flags = entry->flags;
    if (lock.flags != NBFS_LOCK_OPEN) lock.permission = LookupTrustedForEntry(entry);
    return lock;
  }
  lock.governed = DriveLocked(volume);
  ResetDriveIdle(volume);
  if (volume->state & VOLUME_STATE_PAUSE) return lock;
  lock.applies = true;
  lock.flags = volume->flags;
  if (lock.flags != NBFS_LOCK_OPEN) lock.permission = LookupTrustedForDrive(volume);
  return lock;
}

bool IsGoverned(VolumeRecord* volume, const WCHAR* path, ULONG length) {
  nb::SharedLock guard(volume->lock);
  if (!IsListEmpty(&volume->entries)) return GoverningEntry(volume, path, length) != nullptr;
  return DriveLocked(volume);
}

bool IsAncestorOfEntry(VolumeRecord* volume, const WCHAR* path, ULONG length) {
  nb::SharedLock guard(volume->lock);
  for (LIST_ENTRY* link = volume->entries.Flink; link != &volume->entries; link = link->Flink) {
    auto* entry = CONTAINING_RECORD(link, LockEntry, link);
    if (IsUnder(path, length, entry->path, entry->pathLength)) return true;
  }
  return false;
}

bool isNetworkCaller() {
  SECURITY_SUBJECT_CONTEXT subject;
  SeCaptureSubjectContext(&subject);
  PACCESS_TOKEN token = SeQuerySubjectContextToken(&subject);
  PVOID information = nullptr;
  bool network = false;
  if (NT_SUCCESS(SeQueryInformationToken(token, TokenSource, &information)) && information) {
    CHAR name[TOKEN_SOURCE_LENGTH];
    RtlCopyMemory(name, static_cast<PTOKEN_SOURCE>(information)->SourceName, sizeof name);
    name[7] = 0;
    network = RtlEqualMemory(name, "NtLmSsp", 8) || RtlEqualMemory(name, "KSecDD", 7);
    ExFreePool(information);
  }
  SeReleaseSubjectContext(&subject);
  return network;
}
