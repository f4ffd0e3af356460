// The lock SDK (VAULTSdk): the lock and account records every user-mode part passes
// around, and the store that keeps them in the "lock" and "user" gdbm databases.
// Include <windows.h> first.
#pragma once

#include <cstddef>

#include <gdbm.h>

inline constexpr size_t LCK_PATH_UNITS = 513;     // folder path below the drive root, with its NUL
inline constexpr size_t LCK_OWNER_UNITS = 50;
inline constexpr size_t PWD_USER_UNITS = 50;
inline constexpr size_t PWD_PASSWORD_UNITS = 50;  // 40 hexadecimal digits and a NUL
inline constexpr size_t PWD_COMMENT_UNITS = 100;

// Lock types.
inline constexpr int LCK_TYPE_FOLDER = 1;
inline constexpr int LCK_TYPE_DRIVE = 2;

// Lock states kept in the database (the driver knows none of them).
inline constexpr int LCK_STATUS_LOCKED = 1;
inline constexpr int LCK_STATUS_PAUSED = 0;
inline constexpr int LCK_STATUS_NOT_STARTED = -1;

// One folder or drive lock. Little-endian, strings NUL-terminated inside their fields.
struct _LCK_INFORMAION {
  INT type;      // LCK_TYPE_*
  INT timeout;   // idle time-out in minutes, 0 for none
  INT running;   // 1 unless a timed lock is open right now (set from the driver)
  INT mode;      // the driver's lock flags: 1 hidden, 4 read only, 0x80 time-out expired, 0 open
  WCHAR drive;   // drive letter
  WCHAR path[LCK_PATH_UNITS];  // "\..." below the root; empty for a drive lock
  INT status;    // LCK_STATUS_*
  DWORD serial;  // serial of the volume: with `path` the identity of a lock
  WCHAR owner[LCK_OWNER_UNITS];  // owning account; empty: every account sees it
  WCHAR realDrive;  // the letter the console shows after mount points are resolved
  BYTE padding[2];
};

// One account.
struct _PWDTBL {
  WCHAR user[PWD_USER_UNITS];  // the identity of the record, case-sensitive
  WCHAR password[PWD_PASSWORD_UNITS];  // digest in lower-case hexadecimal
  INT admin;  // 1 for the administrator account
  WCHAR comment[PWD_COMMENT_UNITS];
};

static_assert(sizeof(_LCK_INFORMAION) == 1156);
static_assert(offsetof(_LCK_INFORMAION, type) == 0);
static_assert(offsetof(_LCK_INFORMAION, timeout) == 4);
static_assert(offsetof(_LCK_INFORMAION, running) == 8);
static_assert(offsetof(_LCK_INFORMAION, mode) == 12);
static_assert(offsetof(_LCK_INFORMAION, drive) == 16);
static_assert(offsetof(_LCK_INFORMAION, path) == 18);
static_assert(offsetof(_LCK_INFORMAION, status) == 1044);
static_assert(offsetof(_LCK_INFORMAION, serial) == 1048);
static_assert(offsetof(_LCK_INFORMAION, owner) == 1052);
static_assert(offsetof(_LCK_INFORMAION, realDrive) == 1152);
static_assert(offsetof(_LCK_INFORMAION, padding) == 1154);
static_assert(sizeof(_PWDTBL) == 404);
static_assert(offsetof(_PWDTBL, user) == 0);
static_assert(offsetof(_PWDTBL, password) == 100);
static_assert(offsetof(_PWDTBL, admin) == 200);
static_assert(offsetof(_PWDTBL, comment) == 204);

// Drives and their volume serials: slot i of both arrays describes one drive.
inline constexpr size_t DRIVESERIAL_SLOTS = 26;
struct _DRIVESERIAL {
  INT count;  // valid slots
  WCHAR letter[DRIVESERIAL_SLOTS];
  DWORD volumeSerial[DRIVESERIAL_SLOTS];
};

static_assert(sizeof(_DRIVESERIAL) == 160);
static_assert(offsetof(_DRIVESERIAL, count) == 0);
static_assert(offsetof(_DRIVESERIAL, letter) == 4);
static_assert(offsetof(_DRIVESERIAL, volumeSerial) == 56);

// The store over one database file: construct it with the user database's path for the
// account calls and with the lock database's path for the lock calls. Every call opens
// the file, works and closes it again, so several processes share the files; a file that
// cannot be opened (missing, held by a writer, not a database) makes the calls fail:
// false, or 0 for counts and lists. A stored record is decoded before use: a short one
// is completed with zeros, bytes past the record are ignored, and one with a string that
// does not end inside its field is skipped as if it were not there.
class CMdb {
 public:
  // Keeps the path in the ANSI code page; a path longer than 255 bytes cannot be kept
  // and leaves a store that opens nothing. Touches no file.
  CMdb(LPCWSTR path, bool readOnly);
  virtual ~CMdb();
  CMdb(const CMdb&) = delete;
  CMdb& operator=(const CMdb&) = delete;

  // Stores a new record; false when its bytes equal an existing key. Callers check for a
  // lock on the same folder or an account of the same name first.
  bool AddLock(_LCK_INFORMAION* lock);
  // Removes the lock with the same `path` and `serial`; true when there is none.
  bool DelLock(_LCK_INFORMAION* lock);
  // Rewrites the lock with the same `path` and `serial`; true, adding nothing, when there
  // is none.
  bool UpdateLock(_LCK_INFORMAION* lock);
  // Copies up to `max` locks into consecutive slots in the database's order; returns how
  // many were copied.
  int GetLock(_LCK_INFORMAION* buffer, int max);
  // Number of entries in the file.
  int GetCountLock();

  // The same for accounts, identified by `user`.
  bool AddPwd(_PWDTBL* account);
  bool DelPwd(_PWDTBL* account);
  bool UpdatePwd(_PWDTBL* account);
  int GetPwd(_PWDTBL* buffer, int max);
  int GetCountPwd();
  // True when the account named `user` has the digest in `password`; then the whole stored
  // record (administrator flag and comment too) is copied into `account`, which is left
  // as it was otherwise.
  bool CheckPwd(_PWDTBL* account);

 private:
  bool Open(GDBM_FILE& db);
  void Close(GDBM_FILE& db);
  int GetCount(GDBM_FILE& db);
  // Walk the keys for the matching record; the found key is handed back still allocated.
  bool FindLock(GDBM_FILE& db, datum& key, _LCK_INFORMAION* lock);
  bool FindPwd(GDBM_FILE& db, datum& key, _PWDTBL* account);

  bool readOnly_;
  char dbPath_[256];
};

// Installs the store: creates `folder` (a drive path such as
// "C:\Windows\Application Data\NB") with its missing parents and the empty "user" and
// "lock" databases in it. Files already there are left untouched, so it can run again.
// True when the folder and both files are present afterwards.
bool InstallLockStore(LPCWSTR folder);
