// Finding the lock that governs a path on a volume, with the caller's trust in it, for
// the access checks of every filtered request.
#pragma once

#include <ntifs.h>

#include "table.h"

struct GoverningLock {
  bool applies = false;        // an unpaused lock governs the path; flags and trust are set
  ULONG flags = 0;             // its lock flags
  ULONG permission = 0;        // the caller's trusted permission, 0 when not trusted
  bool volumeHasEntries = false;
  bool entryGoverns = false;   // a folder entry governs the path (paused or not)
  bool pathIsEntry = false;    // the path is the governing entry's own folder
  bool governed = false;       // as IsGoverned, from the same look at the table
};

// Resolves the lock under the volume lock (shared) and restarts the idle time of an open
// timed lock: the folder entry that governs the path when the volume has entries, the
// drive-wide lock otherwise.
GoverningLock ResolveGoverningLock(VolumeRecord* volume, const WCHAR* path, ULONG length);

// True when a lock of the volume governs `path`, whatever its flags and paused or not: a
// folder entry when the volume has entries, else a drive-wide lock (flags or a saved
// time-out type). No idle time is restarted and no trust looked up.
bool IsGoverned(VolumeRecord* volume, const WCHAR* path, ULONG length);

// True when `path` is a folder above one of the volume's entries (or the entry itself).
bool IsAncestorOfEntry(VolumeRecord* volume, const WCHAR* path, ULONG length);

// The caller's token was issued for a network logon.
bool isNetworkCaller();
