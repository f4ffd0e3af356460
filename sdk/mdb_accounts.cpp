// CMdb: the user database, one _PWDTBL per account.
#include <windows.h>

#include "VAULTSdk.h"
#include "records.h"
#include "walk.h"

using vault::OwnedDatum;

bool CMdb::FindPwd(GDBM_FILE& db, datum& key, _PWDTBL* account) { return vault::FindEntry(db, key, *account); }

bool CMdb::AddPwd(_PWDTBL* account) {
  // A record whose strings do not end in their fields would be stored unreadable.
  if (!account || !vault::IsWellFormed(*account)) return false;
  GDBM_FILE db;
  if (!Open(db)) return false;
  bool added = vault::InsertRecord(db, *account);
  Close(db);
  return added;
}

bool CMdb::DelPwd(_PWDTBL* account) {
  if (!account) return false;
  GDBM_FILE db;
  if (!Open(db)) return false;
  bool done = true;  // nothing to delete is no failure
  datum key;
  if (FindPwd(db, key, account)) {
    OwnedDatum found(key);
    done = gdbm_delete(db, found.get()) == 0;
  }
  Close(db);
  return done;
}

bool CMdb::UpdatePwd(_PWDTBL* account) {
  if (!account || !vault::IsWellFormed(*account)) return false;
  GDBM_FILE db;
  if (!Open(db)) return false;
  bool done = true;  // an account deleted meanwhile is not brought back
  datum key;
  if (FindPwd(db, key, account)) {
    OwnedDatum found(key);
    done = vault::ReplaceRecord(db, found.get(), *account);
  }
  Close(db);
  return done;
}

int CMdb::GetPwd(_PWDTBL* buffer, int max) {
  GDBM_FILE db;
  if (!Open(db)) return 0;
  int copied = vault::CopyRecords(db, buffer, max);
  Close(db);
  return copied;
}

int CMdb::GetCountPwd() {
  GDBM_FILE db;
  if (!Open(db)) return 0;
  int count = GetCount(db);
  Close(db);
  return count;
}

bool CMdb::CheckPwd(_PWDTBL* account) {
  if (!account) return false;
  GDBM_FILE db;
  if (!Open(db)) return false;
  bool matches = false;
  datum key;
  if (FindPwd(db, key, account)) {
    OwnedDatum found(key);
    _PWDTBL stored;
    // The caller's record changes only when the password is right.
    if (vault::FetchRecord(db, found.get(), &stored) && vault::SamePassword(stored, *account)) {
      *account = stored;
      matches = true;
    }
  }
  Close(db);
  return matches;
}
