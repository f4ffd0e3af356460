// CMdb: the lock database, one _LCK_INFORMAION per folder or drive lock.
#include <windows.h>

#include "VAULTSdk.h"
#include "records.h"
#include "walk.h"

using vault::OwnedDatum;

bool CMdb::FindLock(GDBM_FILE& db, datum& key, _LCK_INFORMAION* lock) { return vault::FindEntry(db, key, *lock); }

bool CMdb::AddLock(_LCK_INFORMAION* lock) {
  // A record whose strings do not end in their fields would be stored unreadable.
  if (!lock || !vault::IsWellFormed(*lock)) return false;
  GDBM_FILE db;
  if (!Open(db)) return false;
  bool added = vault::InsertRecord(db, *lock);
  Close(db);
  return added;
}

bool CMdb::DelLock(_LCK_INFORMAION* lock) {
  if (!lock) return false;
  GDBM_FILE db;
  if (!Open(db)) return false;
  bool done = true;  // nothing to delete is no failure
  datum key;
  if (FindLock(db, key, lock)) {
    OwnedDatum found(key);
    done = gdbm_delete(db, found.get()) == 0;
  }
  Close(db);
  return done;
}

bool CMdb::UpdateLock(_LCK_INFORMAION* lock) {
  if (!lock || !vault::IsWellFormed(*lock)) return false;
  GDBM_FILE db;
  if (!Open(db)) return false;
  bool done = true;  // a lock deleted meanwhile is not brought back
  datum key;
  if (FindLock(db, key, lock)) {
    OwnedDatum found(key);
    done = vault::ReplaceRecord(db, found.get(), *lock);
  }
  Close(db);
  return done;
}

int CMdb::GetLock(_LCK_INFORMAION* buffer, int max) {
  GDBM_FILE db;
  if (!Open(db)) return 0;
  int copied = vault::CopyRecords(db, buffer, max);
  Close(db);
  return copied;
}

int CMdb::GetCountLock() {
  GDBM_FILE db;
  if (!Open(db)) return 0;
  int count = GetCount(db);
  Close(db);
  return count;
}
