// Lock table operations: drives, entries, their states and the listings of them.
#include "table.h"

#include <cctype>
#include <new>

#include "log.h"
#include "nb/resource_guard.h"
#include "path_rules.h"

namespace {

constexpr ULONG kEntryTag = 'tEbN';
constexpr ULONG kProcessTag = 'rPbN';

UCHAR Upper(UCHAR letter) { return static_cast<UCHAR>(std::toupper(letter)); }

bool BeginsWithBackslash(const WCHAR* path) { return path[0] == u'\\'; }

bool HasLock(const VolumeRecord* volume) { return volume->flags != 0 || volume->savedType != 0; }

// Applies a lock type and time-out: a timed lock starts open with the type saved.
template <typename Lock>
void ApplyTimeout(Lock* lock, ULONG timeout, ULONG type) {
  lock->timeout = timeout;
  if (timeout == 0) {
    lock->flags = type;
  } else {
    lock->flags = NBFS_LOCK_OPEN;
    lock->savedType = type;
  }
  lock->idle = 0;
}

void FreeEntry(LockEntry* entry) {
  {
    nb::ExclusiveLock guard(entry->lock);
    FreeProcessList(&entry->processes);
  }
  ExDeleteResourceLite(&entry->lock);
  entry->~LockEntry();
  ExFreePoolWithTag(entry, kEntryTag);
}

void FillEntryRecord(NBFS_ENTRY* record, const VolumeRecord* volume, const LockEntry* entry) {
  RtlZeroMemory(record, sizeof *record);
  record->letter = volume->letter;
  if (!entry) return;
  record->timeout = entry->timeout;
  record->type = entry->flags;
  RtlCopyMemory(record->path, entry->path, entry->pathLength);
}

ULONG CountEntriesLocked(VolumeRecord* volume) {
  AssertHeld(volume->lock);
  ULONG count = 0;
  for (const LIST_ENTRY* link = volume->entries.Flink; link != &volume->entries; link = link->Flink) ++count;
  return count;
}

// Links a new entry unless the drive is locked as a whole or holds an equal path, both
// checked under the same exclusive hold as the link: an ADD_SERVICE that locked the
// drive, or an ADD_ENTRY of the same path, may have come in since the first look.
NTSTATUS InsertEntry(VolumeRecord* volume, LockEntry* entry, UCHAR letter) {
  {
    nb::ExclusiveLock guard(volume->lock);
    if (HasLock(volume)) {
      nbfsLog(LOG_ERROR, "AddEntry [%c]: Drive is already locked\n", letter);
      return STATUS_UNSUCCESSFUL;
    }
    if (!FindEntry(volume, entry->path, entry->pathLength)) {
      InsertTailList(&volume->entries, &entry->link);
      return STATUS_SUCCESS;
    }
    nbfsLog(LOG_ERROR, "NBFS: AddService: entry[%c:%ws] already exist\n", letter, entry->path);
  }
  nbfsLog(LOG_ERROR, "cannot add service entry\n");
  return STATUS_UNSUCCESSFUL;
}

template <typename Visit>
void ForEachVolume(VolumeTable& table, Visit visit) {
  for (LIST_ENTRY* link = table.volumes.Flink; link != &table.volumes; link = link->Flink) {
    visit(CONTAINING_RECORD(link, VolumeRecord, link));
  }
}

}  // namespace

ULONG PathBytes(const WCHAR* path) {
  ULONG units = 0;
  while (units < NBFS_PATH_UNITS && path[units] != 0) ++units;
  return units * sizeof(WCHAR);
}

NTSTATUS VolumeTableInitialize(VolumeTable* table, PERESOURCE attachLock) {
  InitializeListHead(&table->volumes);
  table->attachLock = attachLock;
  return ExInitializeResourceLite(&table->lock);
}

void VolumeTableDelete(VolumeTable* table) { ExDeleteResourceLite(&table->lock); }

void FreeProcessList(LIST_ENTRY* processes) {
  while (!IsListEmpty(processes)) {
    LIST_ENTRY* link = RemoveHeadList(processes);
    ExFreePoolWithTag(CONTAINING_RECORD(link, TrustedProcess, link), kProcessTag);
  }
}

VolumeReference FindVolume(VolumeTable& table, UCHAR letter) {
  // A linked record is whole: tear-down unlinks it under the exclusive list lock before it
  // frees it, so the protection is taken before this lock is dropped.
  nb::SharedLock guard(table.lock);
  VolumeRecord* found = nullptr;
  ForEachVolume(table, [&](VolumeRecord* volume) {
    if (!found && Upper(volume->letter) == Upper(letter) && ExAcquireRundownProtection(&volume->rundown))
      found = volume;
  });
  return VolumeReference(found);
}

NTSTATUS InitializeVolumeRecord(VolumeRecord* record, PDEVICE_OBJECT device, UCHAR letter) {
  new (record) VolumeRecord{};
  InitializeListHead(&record->link);
  InitializeListHead(&record->entries);
  InitializeListHead(&record->processes);
  record->device = device;
  record->magic = NBFS_VOLUME_MAGIC;
  record->letter = letter;
  ExInitializeRundownProtection(&record->rundown);
  return ExInitializeResourceLite(&record->lock);
}

void FreeVolumeContents(VolumeRecord* volume) {
  nb::ExclusiveLock guard(volume->lock);
  while (!IsListEmpty(&volume->entries)) {
    FreeEntry(CONTAINING_RECORD(RemoveHeadList(&volume->entries), LockEntry, link));
  }
  FreeProcessList(&volume->processes);
}

LockEntry* FindEntry(VolumeRecord* volume, const WCHAR* path, ULONG pathLength) {
  AssertHeld(volume->lock);
  for (LIST_ENTRY* link = volume->entries.Flink; link != &volume->entries; link = link->Flink) {
    auto* entry = CONTAINING_RECORD(link, LockEntry, link);
    if (PathEqual(entry->path, entry->pathLength, path, pathLength)) return entry;
  }
  return nullptr;
}

LockEntry* GoverningEntry(VolumeRecord* volume, const WCHAR* path, ULONG pathLength) {
  AssertHeld(volume->lock);
  if (pathLength == 0) return nullptr;
  for (LIST_ENTRY* link = volume->entries.Flink; link != &volume->entries; link = link->Flink) {
    auto* entry = CONTAINING_RECORD(link, LockEntry, link);
    if (IsUnder(entry->path, entry->pathLength, path, pathLength)) return entry;
  }
  return nullptr;
}

NTSTATUS AddService(VolumeTable& table, ULONG timeout, ULONG type, UCHAR letter, AttachVolumeRoutine attach) {
  // Finding, attaching and linking are one step: two requests for one letter must not
  // both find it absent and attach two filters.
  nb::ExclusiveLock attachGuard(*table.attachLock);
  if (VolumeReference known = FindVolume(table, letter)) {
    nbfsLog(LOG_NOTICE, "nbfsAddService: already exist service(%c:)\n", letter);
    nb::ExclusiveLock guard(known->lock);
    if (known->active) {
      nbfsLog(LOG_ERROR, "nbfsAddService: already Active\n");
      return STATUS_UNSUCCESSFUL;
    }
    known->active = 1;
    ApplyTimeout(known.get(), timeout, type);
    return STATUS_SUCCESS;
  }
  VolumeRecord* volume;
  NTSTATUS status = attach(letter, &volume);
  if (!NT_SUCCESS(status)) {
    nbfsLog(LOG_ERROR, "cannot attach device(%c:), err=%x\n", letter, status);
    return status;
  }
  // The record is complete before it is linked: nobody else sees it until then.
  volume->attached = 1;
  volume->active = 1;
  ApplyTimeout(volume, timeout, type);
  nb::ExclusiveLock guard(table.lock);
  InsertTailList(&table.volumes, &volume->link);
  return STATUS_SUCCESS;
}

NTSTATUS DelService(VolumeTable& table, UCHAR letter) {
  VolumeReference volume = FindVolume(table, letter);
  if (!volume) {
    nbfsLog(LOG_ERROR, "DelService [%c]: cannot find service\n", letter);
    return STATUS_NO_SUCH_DEVICE;
  }
  nb::ExclusiveLock guard(volume->lock);
  if (!IsListEmpty(&volume->entries)) {
    nbfsLog(LOG_ERROR, "DelService [%c]: entry remain yet\n", letter);
    return STATUS_UNSUCCESSFUL;
  }
  FreeProcessList(&volume->processes);
  volume->active = 0;
  volume->idle = 0;
  volume->timeout = 0;
  volume->savedType = 0;
  volume->flags = 0;
  return STATUS_SUCCESS;
}

NTSTATUS AddEntry(VolumeTable& table, ULONG timeout, ULONG type, UCHAR letter, const WCHAR* path) {
  if (type != NBFS_LOCK_NOACCESS && type != NBFS_LOCK_READONLY) {
    nbfsLog(LOG_ERROR, "AddEntry [%c:]: invalid LockType(%d)\n", letter, type);
    return STATUS_INVALID_PARAMETER;
  }
  VolumeReference volume = FindVolume(table, letter);
  if (!volume) {
    nbfsLog(LOG_ERROR, "AddEntry [%c]: cannot find service\n", letter);
    return STATUS_NO_SUCH_DEVICE;
  }
  {
    nb::SharedLock guard(volume->lock);
    if (HasLock(volume)) {
      nbfsLog(LOG_ERROR, "AddEntry [%c]: Drive is already locked\n", letter);
      return STATUS_UNSUCCESSFUL;
    }
  }
  ULONG pathLength = PathBytes(path);
  // The root and any path with a trailing "\" cannot be a folder entry; nor can a path
  // that does not begin with "\".
  if (pathLength == 0 || !BeginsWithBackslash(path) || path[pathLength / sizeof(WCHAR) - 1] == u'\\') {
    return STATUS_INVALID_PARAMETER;
  }
  void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(LockEntry), kEntryTag);
  if (!memory) {
    nbfsLog(LOG_ERROR, "cannot alloc service entry\n");
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  auto* entry = new (memory) LockEntry{};
  if (!NT_SUCCESS(ExInitializeResourceLite(&entry->lock))) {
    entry->~LockEntry();
    ExFreePoolWithTag(memory, kEntryTag);
    nbfsLog(LOG_ERROR, "cannot alloc service entry\n");
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  InitializeListHead(&entry->processes);
  RtlCopyMemory(entry->path, path, pathLength);  // the rest of the field stays zero
  entry->pathLength = pathLength;
  ULONG units = pathLength / sizeof(WCHAR);
  ULONG lastSlash = units - 1;
  while (entry->path[lastSlash] != u'\\') --lastSlash;
  if (lastSlash == 0) {
    entry->parent[0] = u'\\';
    entry->parentLength = sizeof(WCHAR);
  } else {
    RtlCopyMemory(entry->parent, entry->path, lastSlash * sizeof(WCHAR));
    entry->parentLength = lastSlash * sizeof(WCHAR);
  }
  entry->leafLength = (units - lastSlash - 1) * sizeof(WCHAR);
  RtlCopyMemory(entry->leaf, entry->path + lastSlash + 1, entry->leafLength);
  ApplyTimeout(entry, timeout, type);

  NTSTATUS status = InsertEntry(volume, entry, letter);
  if (!NT_SUCCESS(status)) FreeEntry(entry);
  return status;
}

NTSTATUS DelEntry(VolumeTable& table, UCHAR letter, const WCHAR* path) {
  VolumeReference volume = FindVolume(table, letter);
  if (!volume) {
    nbfsLog(LOG_ERROR, "DelEntry [%c]: cannot find service\n", letter);
    return STATUS_NO_SUCH_DEVICE;
  }
  LockEntry* entry;
  {
    // Find and unlink under one exclusive hold, so two deletions cannot free one entry twice.
    nb::ExclusiveLock guard(volume->lock);
    entry = FindEntry(volume, path, PathBytes(path));
    if (entry) RemoveEntryList(&entry->link);
  }
  if (!entry) {
    nbfsLog(LOG_ERROR, "DelEntry [%c:%ws]: cannot find entry\n", letter, path);
    return STATUS_NO_SUCH_DEVICE;
  }
  FreeEntry(entry);
  return STATUS_SUCCESS;
}

NTSTATUS SetEntry(VolumeTable& table, ULONG timeout, ULONG type, UCHAR letter, const WCHAR* path) {
  if (type != NBFS_LOCK_NOACCESS && type != NBFS_LOCK_READONLY) {
    nbfsLog(LOG_ERROR, "SetEntry [%c:]: invalid LockType(%d)\n", letter, type);
    return STATUS_INVALID_PARAMETER;
  }
  VolumeReference volume = FindVolume(table, letter);
  if (!volume) {
    nbfsLog(LOG_ERROR, "SetEntry [%c]: cannot find service\n", letter);
    return STATUS_NO_SUCH_DEVICE;
  }
  nb::ExclusiveLock guard(volume->lock);
  if (LockEntry* entry = FindEntry(volume, path, PathBytes(path))) {
    ApplyTimeout(entry, timeout, type);
    return STATUS_SUCCESS;
  }
  if (HasLock(volume)) {
    ApplyTimeout(volume.get(), timeout, type);
    return STATUS_SUCCESS;
  }
  nbfsLog(LOG_ERROR, "SetEntry [%c:%ws]: cannot find entry\n", letter, path);
  return STATUS_NO_SUCH_DEVICE;
}

namespace {

NTSTATUS SetPause(VolumeTable& table, UCHAR letter, const WCHAR* path, bool pause, const char* name) {
  VolumeReference volume = FindVolume(table, letter);
  if (!volume) {
    nbfsLog(LOG_ERROR, "%s [%c]: cannot find service\n", name, letter);
    return STATUS_NO_SUCH_DEVICE;
  }
  nb::ExclusiveLock guard(volume->lock);
  if (!BeginsWithBackslash(path)) {
    volume->state = pause ? (volume->state | VOLUME_STATE_PAUSE) : (volume->state & ~VOLUME_STATE_PAUSE);
    return STATUS_SUCCESS;
  }
  LockEntry* entry = FindEntry(volume, path, PathBytes(path));
  if (!entry) {
    nbfsLog(LOG_ERROR, "%s [%c:%ws]: cannot find entry\n", name, letter, path);
    return STATUS_NO_SUCH_DEVICE;
  }
  entry->pause = pause ? (entry->pause | ENTRY_PAUSE) : (entry->pause & ~ENTRY_PAUSE);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS PauseEntry(VolumeTable& table, UCHAR letter, const WCHAR* path) {
  return SetPause(table, letter, path, true, "PauseEntry");
}

NTSTATUS ResumeEntry(VolumeTable& table, UCHAR letter, const WCHAR* path) {
  return SetPause(table, letter, path, false, "ResumeEntry");
}

NTSTATUS StartTimeOutEntry(VolumeTable& table, UCHAR letter, const WCHAR* path) {
  VolumeReference volume = FindVolume(table, letter);
  if (!volume) {
    nbfsLog(LOG_ERROR, "StartTimeOutEntry [%c]: cannot find service\n", letter);
    return STATUS_NO_SUCH_DEVICE;
  }
  nb::ExclusiveLock guard(volume->lock);
  if (BeginsWithBackslash(path)) {
    LockEntry* entry = FindEntry(volume, path, PathBytes(path));
    if (!entry) {
      nbfsLog(LOG_ERROR, "StartTimeOutEntry [%c:%ws]: cannot find entry\n", letter, path);
      return STATUS_NO_SUCH_DEVICE;
    }
    ULONG flags = entry->flags;
    if (!(flags & NBFS_LOCK_EXPIRED)) {
      nbfsLog(LOG_ERROR, "StartTimeOutEntry [%c:%ws]: invalid lock(0x%x)\n", letter, path, flags);
      return STATUS_INVALID_PARAMETER;
    }
    entry->flags = entry->savedType;
    return STATUS_SUCCESS;
  }
  ULONG flags = volume->flags;
  if (!(flags & NBFS_LOCK_EXPIRED)) {
    nbfsLog(LOG_ERROR, "StartTimeOutEntry [%c:]: invalid Lock(0x%x)\n", letter, flags);
    return STATUS_INVALID_PARAMETER;
  }
  volume->flags = volume->savedType;
  return STATUS_SUCCESS;
}

ULONG GetEntryCount(VolumeTable& table) {
  nb::SharedLock listGuard(table.lock);
  ULONG count = 0;
  ForEachVolume(table, [&](VolumeRecord* volume) {
    nb::SharedLock guard(volume->lock);
    if (!volume->active) return;
    ULONG entries = CountEntriesLocked(volume);
    count += entries ? entries : 1;
  });
  return count;
}

NTSTATUS GetEntryInfo(VolumeTable& table, void* buffer, ULONG length) {
  ULONG count = GetEntryCount(table);
  if (static_cast<ULONGLONG>(count) * sizeof(NBFS_ENTRY) > length) {
    nbfsLog(LOG_ERROR, "buffer too small\n");
    return STATUS_INVALID_PARAMETER;
  }
  auto* records = static_cast<NBFS_ENTRY*>(buffer);
  ULONG capacity = length / sizeof(NBFS_ENTRY);
  ULONG written = 0;
  nb::SharedLock listGuard(table.lock);
  ForEachVolume(table, [&](VolumeRecord* volume) {
    nb::SharedLock guard(volume->lock);
    if (!volume->active) return;
    if (IsListEmpty(&volume->entries)) {
      if (written < capacity) FillEntryRecord(&records[written++], volume, nullptr);
      return;
    }
    for (LIST_ENTRY* link = volume->entries.Flink; link != &volume->entries && written < capacity;
         link = link->Flink) {
      FillEntryRecord(&records[written++], volume, CONTAINING_RECORD(link, LockEntry, link));
    }
  });
  return STATUS_SUCCESS;
}

NTSTATUS GetDrvInfo(VolumeTable& table, void* buffer, ULONG length) {
  nb::SharedLock listGuard(table.lock);
  ULONG active = 0;
  ForEachVolume(table, [&](VolumeRecord* volume) {
    nb::SharedLock guard(volume->lock);
    if (volume->active) ++active;
  });
  if (static_cast<ULONGLONG>(active) * sizeof(NBFS_DRIVE) > length) {
    nbfsLog(LOG_ERROR, "GetDrvInfo: buffer too small\n");
    return STATUS_INVALID_PARAMETER;
  }
  auto* records = static_cast<NBFS_DRIVE*>(buffer);
  ULONG written = 0;
  ForEachVolume(table, [&](VolumeRecord* volume) {
    nb::SharedLock guard(volume->lock);
    if (!volume->active || written >= active) return;
    NBFS_DRIVE& record = records[written++];
    RtlZeroMemory(&record, sizeof record);
    record.timeout = volume->timeout;
    record.flags = volume->flags;
    record.letter = volume->letter;
  });
  return STATUS_SUCCESS;
}

NTSTATUS getEntCnt(VolumeTable& table, UCHAR letter, ULONG* count) {
  *count = 0;
  VolumeReference volume = FindVolume(table, letter);
  if (!volume) {
    nbfsLog(LOG_ERROR, "getEntCnt [%c]: cannot find service\n", letter);
    return STATUS_NO_SUCH_DEVICE;
  }
  nb::SharedLock guard(volume->lock);
  *count = CountEntriesLocked(volume);
  return STATUS_SUCCESS;
}

NTSTATUS GetEntryInfo(VolumeTable& table, UCHAR letter, void* buffer, ULONG length) {
  ULONG count;
  NTSTATUS status = getEntCnt(table, letter, &count);
  if (!NT_SUCCESS(status)) {
    nbfsLog(LOG_ERROR, "GetEntryInfo(%c): cannot get entry count\n", letter);
    return status;
  }
  if (count == 0) return STATUS_SUCCESS;
  if (static_cast<ULONGLONG>(count) * sizeof(NBFS_ENTRY) > length) {
    nbfsLog(LOG_ERROR, "GetEntryInfo: buffer too small\n");
    return STATUS_INVALID_PARAMETER;
  }
  VolumeReference volume = FindVolume(table, letter);
  if (!volume) {
    nbfsLog(LOG_ERROR, "GetEntryInfo: cannot find service(%c)\n", letter);
    return STATUS_NO_SUCH_DEVICE;
  }
  nb::SharedLock guard(volume->lock);
  if (!volume->active) return STATUS_SUCCESS;
  if (IsListEmpty(&volume->entries)) {
    nbfsLog(LOG_ERROR, "GetEntryInfo: none entry\n");
    return STATUS_UNSUCCESSFUL;
  }
  auto* records = static_cast<NBFS_ENTRY*>(buffer);
  ULONG capacity = length / sizeof(NBFS_ENTRY);
  ULONG written = 0;
  for (LIST_ENTRY* link = volume->entries.Flink; link != &volume->entries && written < capacity;
       link = link->Flink) {
    FillEntryRecord(&records[written++], volume, CONTAINING_RECORD(link, LockEntry, link));
  }
  return STATUS_SUCCESS;
}
