// Trusted processes: the global list, the per-drive and per-entry lists of the lock
// table, the System process's node, and the lookups the access checks make.
//
// A process is known by its image name (matched ignoring case) and its id. Lock order:
// volume-list lock, volume lock, entry lock; the global lock is a leaf: nothing else is
// acquired while it is held, so a lookup may take it under a volume lock.
#pragma once

#include <ntifs.h>

#include "nbfsctl.h"
#include "table.h"

// The permission a lookup gives when the caller is not trusted.
inline constexpr ULONG NBFS_NOT_TRUSTED = 0;

// Sets up the global list and, when the process-name offset is known, the System node.
// Called at load after FindProcessNameOffset.
[[nodiscard]] NTSTATUS TrustedInitialize();
// Frees the global list and the System node (driver unload).
void TrustedShutdown();

// Lookups for the access checks, once per filtered request. Each gives the permission
// (NBFS_PERMISSION_READ or NBFS_PERMISSION_FULL) of the first node matching the caller
// in the global list, else in the lock's own list, else NBFS_NOT_TRUSTED; always
// NBFS_NOT_TRUSTED without a process-name offset.
// For a folder lock; the caller holds the entry's volume lock so that the entry stays.
ULONG LookupTrustedForEntry(LockEntry* entry);
// For a drive-wide lock; the caller holds the volume lock.
ULONG LookupTrustedForDrive(VolumeRecord* volume);
// The caller is the System process: same id as at load and the name "System".
bool isSystemProcess();

// List helpers shared with the request handlers. Nodes are zero-filled pool memory
// freed with FreeProcessList or FreeTrustedProcess.
TrustedProcess* AllocateTrustedProcess(ULONG permission, ULONG id, const CHAR* name);
void FreeTrustedProcess(TrustedProcess* node);
// The first node of `list` with the same name (ignoring case) and id; the list's lock is held.
TrustedProcess* FindTrustedProcess(LIST_ENTRY* list, const CHAR* name, ULONG id);
ULONG CountTrustedProcesses(const LIST_ENTRY* list);
// Writes one record: letter and path (pathLength bytes, 0 for none) and the node's fields.
void FillProcRecord(NBFS_PROC* record, UCHAR letter, const WCHAR* path, ULONG pathLength,
                    const TrustedProcess* node);

// The global list (ADD_GLOBAL_PROC and its kin). Every access takes the global lock
// exclusively, lookups included.
[[nodiscard]] NTSTATUS AddGlobalProc(ULONG id, const CHAR* name);
[[nodiscard]] NTSTATUS DelGlobalProc(ULONG id, const CHAR* name);
ULONG GetGlobalProcCount();
[[nodiscard]] NTSTATUS nbfsGetGProcInfo(void* buffer, ULONG length);

// The per-drive and per-entry lists. A path beginning with "\" addresses the entry of
// that path, any other path the drive's own list.
[[nodiscard]] NTSTATUS nbfsAddProc(VolumeTable& table, const NBFS_PROC& proc);
[[nodiscard]] NTSTATUS nbfsDelProc(VolumeTable& table, const NBFS_PROC& proc);
[[nodiscard]] NTSTATUS GetProcCount(VolumeTable& table, UCHAR letter, const WCHAR* path, ULONG* count);
[[nodiscard]] NTSTATUS nbfsGetProcInfo(VolumeTable& table, UCHAR letter, const WCHAR* path, void* buffer,
                                       ULONG length);
