// The lock table: one VolumeRecord per registered drive, each with either a drive-wide
// lock or a list of locked folders (LockEntry), and the operations the control requests
// perform on it.
//
// Lock order: the attach lock, then the volume-list lock, then a volume's lock, then an
// entry's lock. The attach lock is held across finding, attaching and linking a new drive,
// and the attach opens the volume, so requests that pass other filters run under it. The
// idle and flags words are changed by the idle timer under a shared volume lock and reset
// by filtered accesses without any lock, so they are atomic 32-bit words.
#pragma once

#include <atomic>
#include <cassert>

#include <ntifs.h>

#include "nbfsctl.h"

inline constexpr ULONG NBFS_VOLUME_MAGIC = 0x4D535557;  // "WUSM"
inline constexpr ULONG VOLUME_STATE_PAUSE = 0x1;
inline constexpr ULONG VOLUME_STATE_FS_FILTER = 0x100;
inline constexpr ULONG ENTRY_PAUSE = 0x1;

// One trusted process in a global, per-drive or per-entry list.
struct TrustedProcess {
  LIST_ENTRY link;
  ULONG permission;  // NBFS_PERMISSION_READ or NBFS_PERMISSION_FULL
  ULONG id;
  CHAR name[NBFS_PROC_NAME_BYTES];
};

struct LockEntry {
  LIST_ENTRY link;  // in the volume's entry list
  ULONG pause;
  std::atomic<ULONG> idle;
  ULONG timeout;
  ULONG savedType;
  std::atomic<ULONG> flags;
  ULONG pathLength;  // bytes
  WCHAR path[NBFS_PATH_UNITS];
  ULONG parentLength;
  WCHAR parent[NBFS_PATH_UNITS];
  ULONG leafLength;
  WCHAR leaf[NBFS_PATH_UNITS];
  ERESOURCE lock;  // guards `processes`
  LIST_ENTRY processes;
};

// The device extension of every filter device of the driver.
struct VolumeRecord {
  ULONG magic;
  LIST_ENTRY link;  // in the global volume list
  PDEVICE_OBJECT device;
  PDEVICE_OBJECT lower;
  ULONG state;
  UCHAR active;
  UCHAR attached;
  UCHAR letter;
  std::atomic<ULONG> idle;
  ULONG timeout;
  ULONG savedType;
  std::atomic<ULONG> flags;
  ERESOURCE lock;  // guards entries, processes and the fields above
  LIST_ENTRY entries;
  LIST_ENTRY processes;
  // Held by every lookup and request that uses the record after the list lock is
  // dropped; tear-down runs it down before it frees what the record holds.
  EX_RUNDOWN_REF rundown;
};

// A record found in the table, with its rundown protection held so that tear-down cannot
// free it meanwhile; released at the end of the holder's scope. Empty when none was found.
class VolumeReference {
 public:
  VolumeReference() = default;
  explicit VolumeReference(VolumeRecord* protectedRecord) : volume_(protectedRecord) {}
  ~VolumeReference() {
    if (volume_) ExReleaseRundownProtection(&volume_->rundown);
  }
  VolumeReference(VolumeReference&& other) noexcept : volume_(other.volume_) { other.volume_ = nullptr; }
  VolumeReference(const VolumeReference&) = delete;
  VolumeReference& operator=(const VolumeReference&) = delete;
  VolumeReference& operator=(VolumeReference&&) = delete;

  VolumeRecord* get() const { return volume_; }
  VolumeRecord* operator->() const { return volume_; }
  // Only a held reference gives its record: a temporary's protection would end at once.
  operator VolumeRecord*() const& { return volume_; }
  operator VolumeRecord*() const&& = delete;

 private:
  VolumeRecord* volume_ = nullptr;
};

// The global list of volume records, held in the control device's extension.
struct VolumeTable {
  ERESOURCE lock;  // the volume-list lock
  LIST_ENTRY volumes;
  PERESOURCE attachLock;  // the driver's attach lock: one ADD_SERVICE attaches at a time
};

// Attaches a new filter to the drive's volume and returns its record, not yet linked.
// Called with the table's attach lock held exclusively.
typedef NTSTATUS (*AttachVolumeRoutine)(UCHAR letter, VolumeRecord** record);

// Debug-build checks of a routine's precondition that its caller holds a lock (shared
// or exclusive, resp. exclusive).
inline void AssertHeld([[maybe_unused]] ERESOURCE& lock) { assert(ExIsResourceAcquiredSharedLite(&lock) != 0); }
inline void AssertHeldExclusive([[maybe_unused]] ERESOURCE& lock) {
  assert(ExIsResourceAcquiredExclusiveLite(&lock));
}

// `attachLock` serialises ADD_SERVICE's find, attach and link against each other and
// against the other attach and detach paths.
[[nodiscard]] NTSTATUS VolumeTableInitialize(VolumeTable* table, PERESOURCE attachLock);
void VolumeTableDelete(VolumeTable* table);

// Length in bytes of a path field, which holds its NUL within NBFS_PATH_UNITS units.
ULONG PathBytes(const WCHAR* path);

// Finds the drive by letter (either case); inactive records are found too, records being
// torn down are not.
[[nodiscard]] VolumeReference FindVolume(VolumeTable& table, UCHAR letter);
// Prepares a record in a filter device's extension: lists, lock, magic and letter.
[[nodiscard]] NTSTATUS InitializeVolumeRecord(VolumeRecord* record, PDEVICE_OBJECT device, UCHAR letter);
// Frees every entry and trusted process of a drive; the record's own lock stays.
void FreeVolumeContents(VolumeRecord* record);
// Frees the nodes of a trusted-process list (the list's lock is held by the caller).
void FreeProcessList(LIST_ENTRY* processes);
// The first entry of the volume whose path equals `path`; the volume lock is held.
LockEntry* FindEntry(VolumeRecord* volume, const WCHAR* path, ULONG pathLength);
// The first entry (insertion order) that governs `path`; the volume lock is held.
LockEntry* GoverningEntry(VolumeRecord* volume, const WCHAR* path, ULONG pathLength);

// Control operations. Paths are NUL-terminated within NBFS_PATH_UNITS units.
[[nodiscard]] NTSTATUS AddService(VolumeTable& table, ULONG timeout, ULONG type, UCHAR letter,
                                  AttachVolumeRoutine attach);
[[nodiscard]] NTSTATUS DelService(VolumeTable& table, UCHAR letter);
[[nodiscard]] NTSTATUS AddEntry(VolumeTable& table, ULONG timeout, ULONG type, UCHAR letter, const WCHAR* path);
[[nodiscard]] NTSTATUS DelEntry(VolumeTable& table, UCHAR letter, const WCHAR* path);
[[nodiscard]] NTSTATUS SetEntry(VolumeTable& table, ULONG timeout, ULONG type, UCHAR letter, const WCHAR* path);
[[nodiscard]] NTSTATUS PauseEntry(VolumeTable& table, UCHAR letter, const WCHAR* path);
[[nodiscard]] NTSTATUS ResumeEntry(VolumeTable& table, UCHAR letter, const WCHAR* path);
[[nodiscard]] NTSTATUS StartTimeOutEntry(VolumeTable& table, UCHAR letter, const WCHAR* path);

ULONG GetEntryCount(VolumeTable& table);
// Writes GetEntryCount records into `buffer` of `length` bytes.
[[nodiscard]] NTSTATUS GetEntryInfo(VolumeTable& table, void* buffer, ULONG length);
[[nodiscard]] NTSTATUS GetDrvInfo(VolumeTable& table, void* buffer, ULONG length);
[[nodiscard]] NTSTATUS getEntCnt(VolumeTable& table, UCHAR letter, ULONG* count);
[[nodiscard]] NTSTATUS GetEntryInfo(VolumeTable& table, UCHAR letter, void* buffer, ULONG length);
