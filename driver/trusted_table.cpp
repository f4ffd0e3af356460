// Trusted processes of one drive or one lock entry: ADD_PROC, DEL_PROC and the count
// and listing of a list. The volume lock keeps an entry alive while its list is used.
#include "identity.h"
#include "log.h"
#include "nb/resource_guard.h"
#include "trusted.h"

namespace {

bool AddressesEntry(const WCHAR* path) { return path[0] == u'\\'; }

// Which permissions a lock accepts: a no-access lock read or full access, a read-only
// lock full access only, an open, expired or absent lock none.
bool PermissionFitsLock(ULONG flags, ULONG permission) {
  if (flags & NBFS_LOCK_NOACCESS) return true;
  if (flags & NBFS_LOCK_READONLY) return permission == NBFS_PERMISSION_FULL;
  return false;
}

// Appends a node for the request unless a matching one exists; the list's lock is held
// exclusively. `routine` names the caller in its messages.
NTSTATUS AppendProcess(LIST_ENTRY* list, const NBFS_PROC& proc, const char* routine) {
  TrustedProcess* node = AllocateTrustedProcess(proc.permission, proc.pid, proc.name);
  if (!node) {
    nbfsLog(LOG_ERROR, "%s: cannot alloc buf\n", routine);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (FindTrustedProcess(list, node->name, node->id)) {
    nbfsLog(LOG_ERROR, "ADD: process(%s) already exist\n", node->name);
    nbfsLog(LOG_ERROR, "%s: cannot add process, proc=%s, Letter=%c\n", routine, node->name, proc.letter);
    FreeTrustedProcess(node);
    return STATUS_INVALID_PARAMETER;
  }
  InsertTailList(list, &node->link);
  return STATUS_SUCCESS;
}

NTSTATUS AddProcEntry(VolumeTable& table, const NBFS_PROC& proc) {
  VolumeReference volume = FindVolume(table, proc.letter);
  if (!volume) {
    nbfsLog(LOG_ERROR, "nbfsAddProc_Entry [%c]: cannot find service\n", proc.letter);
    return STATUS_NO_SUCH_DEVICE;
  }
  nb::SharedLock volumeGuard(volume->lock);
  LockEntry* entry = FindEntry(volume, proc.path, PathBytes(proc.path));
  if (!entry) {
    nbfsLog(LOG_ERROR, "nbfsAddProc_Entry: [%c:%ws]: cannot find entry\n", proc.letter, proc.path);
    return STATUS_NO_SUCH_DEVICE;
  }
  if (!PermissionFitsLock(entry->flags, proc.permission)) return STATUS_INVALID_PARAMETER;
  nb::ExclusiveLock entryGuard(entry->lock);
  return AppendProcess(&entry->processes, proc, "nbfsAddProc_Entry");
}

NTSTATUS AddProcDevice(VolumeTable& table, const NBFS_PROC& proc) {
  VolumeReference volume = FindVolume(table, proc.letter);
  if (!volume) {
    nbfsLog(LOG_ERROR, "nbfsAddProc_Device [%c]: cannot find service\n", proc.letter);
    return STATUS_NO_SUCH_DEVICE;
  }
  nb::ExclusiveLock volumeGuard(volume->lock);
  if (!PermissionFitsLock(volume->flags, proc.permission)) return STATUS_INVALID_PARAMETER;
  return AppendProcess(&volume->processes, proc, "nbfsAddProc_Device");
}

// Finds and unlinks under one exclusive hold, so that two deletions cannot free one node.
NTSTATUS DelProcEntry(VolumeTable& table, const NBFS_PROC& proc) {
  VolumeReference volume = FindVolume(table, proc.letter);
  if (!volume) {
    nbfsLog(LOG_ERROR, "nbfsDelProc_Entry [%c]: cannot find service\n", proc.letter);
    return STATUS_NO_SUCH_DEVICE;
  }
  nb::SharedLock volumeGuard(volume->lock);
  LockEntry* entry = FindEntry(volume, proc.path, PathBytes(proc.path));
  if (!entry) {
    nbfsLog(LOG_ERROR, "nbfsDelProc_Entry: [%c:%ws]: cannot find entry\n", proc.letter, proc.path);
    return STATUS_NO_SUCH_DEVICE;
  }
  TrustedProcess* node;
  {
    nb::ExclusiveLock entryGuard(entry->lock);
    node = FindTrustedProcess(&entry->processes, proc.name, proc.pid);
    if (node) RemoveEntryList(&node->link);
  }
  if (!node) {
    nbfsLog(LOG_ERROR, "nbfsDelProc_Entry: cannot find proc (name=%s, id=%d)\n", proc.name, proc.pid);
    return STATUS_INVALID_PARAMETER;
  }
  FreeTrustedProcess(node);
  return STATUS_SUCCESS;
}

NTSTATUS DelProcDevice(VolumeTable& table, const NBFS_PROC& proc) {
  VolumeReference volume = FindVolume(table, proc.letter);
  if (!volume) {
    nbfsLog(LOG_ERROR, "nbfsDelProc_Device [%c]: cannot find service\n", proc.letter);
    return STATUS_NO_SUCH_DEVICE;
  }
  TrustedProcess* node;
  {
    nb::ExclusiveLock volumeGuard(volume->lock);
    node = FindTrustedProcess(&volume->processes, proc.name, proc.pid);
    if (node) RemoveEntryList(&node->link);
  }
  if (!node) {
    nbfsLog(LOG_ERROR, "nbfsDelProc_Device: cannot find proc (name=%s, id=%d)\n", proc.name, proc.pid);
    return STATUS_INVALID_PARAMETER;
  }
  FreeTrustedProcess(node);
  return STATUS_SUCCESS;
}

// Runs `use` on the list that letter and path address, holding the volume lock and,
// for an entry, the entry lock (both shared). `messages` are the lookup failures.
struct ListLookupMessages {
  const char* entryNoDevice;
  const char* entryNoEntry;
  const char* deviceNoDevice;
};

template <typename Use>
NTSTATUS WithProcList(VolumeTable& table, UCHAR letter, const WCHAR* path, const ListLookupMessages& messages,
                      Use use) {
  VolumeReference volume = FindVolume(table, letter);
  bool entryList = AddressesEntry(path);
  if (!volume) {
    if (entryList) {
      nbfsLog(LOG_ERROR, messages.entryNoDevice, letter, path);
    } else {
      nbfsLog(LOG_ERROR, messages.deviceNoDevice, letter);
    }
    return STATUS_NO_SUCH_DEVICE;
  }
  nb::SharedLock volumeGuard(volume->lock);
  if (!entryList) return use(volume.get(), static_cast<LockEntry*>(nullptr), &volume->processes);
  LockEntry* entry = FindEntry(volume, path, PathBytes(path));
  if (!entry) {
    nbfsLog(LOG_ERROR, messages.entryNoEntry, letter, path);
    return STATUS_NO_SUCH_DEVICE;
  }
  nb::SharedLock entryGuard(entry->lock);
  return use(volume.get(), entry, &entry->processes);
}

constexpr ListLookupMessages kCountMessages = {
    "nbfs_GetProcCount_Entry [%c:%ws]: cannot find device\n",
    "nbfs_GetProcCount_Entry [%c:%ws]: cannot find entry\n",
    "nbfs_GetProcCount_Device [%c]: cannot find device\n",
};
constexpr ListLookupMessages kInfoMessages = {
    "nbfs_GetProcInfo_Entry [%c:%ws]: cannot find device\n",
    "nbfs_GetProcInfo_Entry [%c:%ws]: cannot find entry\n",
    "nbfs_GetProcInfo_Device [%c]: cannot find device\n",
};

}  // namespace

NTSTATUS nbfsAddProc(VolumeTable& table, const NBFS_PROC& proc) {
  if (proc.pid < SystemProcessId()) {
    nbfsLog(LOG_ERROR, "nbfsAddProc: invalid parameters[name=%s,id=%d]\n", proc.name, proc.pid);
    return STATUS_INVALID_PARAMETER;
  }
  if (proc.permission != NBFS_PERMISSION_READ && proc.permission != NBFS_PERMISSION_FULL) {
    return STATUS_INVALID_PARAMETER;
  }
  return AddressesEntry(proc.path) ? AddProcEntry(table, proc) : AddProcDevice(table, proc);
}

NTSTATUS nbfsDelProc(VolumeTable& table, const NBFS_PROC& proc) {
  if (proc.pid < SystemProcessId()) {
    nbfsLog(LOG_ERROR, "nbfsDelProc: invalid parameters[name=%s,id=%d]\n", proc.name, proc.pid);
    return STATUS_INVALID_PARAMETER;
  }
  return AddressesEntry(proc.path) ? DelProcEntry(table, proc) : DelProcDevice(table, proc);
}

NTSTATUS GetProcCount(VolumeTable& table, UCHAR letter, const WCHAR* path, ULONG* count) {
  *count = 0;
  return WithProcList(table, letter, path, kCountMessages, [&](VolumeRecord*, LockEntry*, LIST_ENTRY* list) {
    *count = CountTrustedProcesses(list);
    return STATUS_SUCCESS;
  });
}

NTSTATUS nbfsGetProcInfo(VolumeTable& table, UCHAR letter, const WCHAR* path, void* buffer, ULONG length) {
  ULONG count;
  NTSTATUS status = GetProcCount(table, letter, path, &count);
  if (!NT_SUCCESS(status)) {
    nbfsLog(LOG_ERROR, "nbfsGetProcInfo: cannot get proc count\n");
    return status;
  }
  if (count == 0) return STATUS_SUCCESS;
  if (static_cast<ULONGLONG>(count) * sizeof(NBFS_PROC) > length) {
    nbfsLog(LOG_ERROR, "nbfsGetProcInfo: buffer too small\n");
    return STATUS_BUFFER_TOO_SMALL;
  }
  return WithProcList(table, letter, path, kInfoMessages,
                      [&](VolumeRecord* volume, LockEntry* entry, LIST_ENTRY* list) {
                        // The list may have grown since it was counted: never write past the buffer.
                        auto* records = static_cast<NBFS_PROC*>(buffer);
                        ULONG capacity = length / sizeof(NBFS_PROC);
                        ULONG written = 0;
                        for (LIST_ENTRY* link = list->Flink; link != list && written < capacity;
                             link = link->Flink) {
                          FillProcRecord(&records[written++], volume->letter, entry ? entry->path : nullptr,
                                         entry ? entry->pathLength : 0,
                                         CONTAINING_RECORD(link, TrustedProcess, link));
                        }
                        return STATUS_SUCCESS;
                      });
}
