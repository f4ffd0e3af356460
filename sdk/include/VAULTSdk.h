// The lock SDK (VAULTSdk): the lock and account records every user-mode part passes
// around, the store that keeps them in the "lock" and "user" gdbm databases, and the lock
// object CVAULTObj that turns lock records into driver calls and back. Include
// <windows.h> first.
#pragma once

#include <cstddef>
#include <vector>

#include <gdbm.h>

#define VAULTSDK_API __attribute__((visibility("default")))

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
class VAULTSDK_API CMdb {
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
VAULTSDK_API bool InstallLockStore(LPCWSTR folder);

// --- The lock object ---------------------------------------------------------------------

inline constexpr size_t VAULT_NAME_UNITS = 1024;    // lockDbPath, defaultFolder, exceptFolders
inline constexpr size_t VAULT_EXCEPT_FOLDERS = 7;
inline constexpr size_t VAULT_DRIVER_PATH_UNITS = 260;  // the longest path handed to the driver, with its NUL
inline constexpr size_t PROC_NAME_UNITS = 16;           // a process name: 15 characters and a NUL

// Scopes of a trusted process.
inline constexpr int PROC_SCOPE_FOLDER = 1;  // `procPath` names the folder
inline constexpr int PROC_SCOPE_DRIVE = 2;   // drive-wide: no path is sent

// Permissions of a trusted process.
inline constexpr int PROC_PERMISSION_READ = 1;
inline constexpr int PROC_PERMISSION_FULL = 2;

// A process trusted on one lock (or, for the global list, on every lock).
struct _LCK_PROC_INFORMATION {
  WCHAR procDrive;                  // drive letter of the lock
  WCHAR procPath[LCK_PATH_UNITS];   // "\..." of a folder lock; empty drive-wide
  INT scope;                        // PROC_SCOPE_*
  INT permission;                   // PROC_PERMISSION_*
  WCHAR procName[PROC_NAME_UNITS];  // image name; sent in the ANSI code page, at most 15 bytes
  DWORD pid;
};

static_assert(sizeof(_LCK_PROC_INFORMATION) == 1072);
static_assert(offsetof(_LCK_PROC_INFORMATION, procDrive) == 0);
static_assert(offsetof(_LCK_PROC_INFORMATION, procPath) == 2);
static_assert(offsetof(_LCK_PROC_INFORMATION, scope) == 1028);
static_assert(offsetof(_LCK_PROC_INFORMATION, permission) == 1032);
static_assert(offsetof(_LCK_PROC_INFORMATION, procName) == 1036);
static_assert(offsetof(_LCK_PROC_INFORMATION, pid) == 1068);

// A running process.
struct _PROC_INFORMATION {
  WCHAR procName[PROC_NAME_UNITS];  // at most 15 characters, NUL-terminated
  DWORD pid;
};

static_assert(sizeof(_PROC_INFORMATION) == 36);
static_assert(offsetof(_PROC_INFORMATION, pid) == 32);

// The lock object: lock operations through the filter driver, the driver's locks read back
// as records, protected system folders, messages, trusted processes, volume serials and
// removable-device registration. It keeps no lock state of its own: the driver holds the
// live locks, the lock database the configuration. One thread uses an object at a time.
//
// Operations that take `show` report their failure in a message box captioned "Error"
// with a numbered text of the language resource module "VAULT.<language>" when `show` is
// set, and stay silent otherwise.
class VAULTSDK_API CVAULTObj {
 public:
  // Only clears the members.
  CVAULTObj();
  virtual ~CVAULTObj();
  CVAULTObj(const CVAULTObj&) = delete;
  CVAULTObj& operator=(const CVAULTObj&) = delete;

  // --- Lock operations: 1 on success, 0 on failure. A folder lock (type 1) names its
  // path; the time-out travels in seconds. A path longer than 259 characters is refused
  // (-3003): the driver's buffer cannot hold it, and a cut path would name another folder.
  int Lock(_LCK_INFORMAION* lock, int show);
  int UnLock(_LCK_INFORMAION* lock, int show);
  // Changes mode and time-out of an existing lock.
  int SetLock(_LCK_INFORMAION* lock, int show);
  int PauseLock(_LCK_INFORMAION* lock, int show);
  int ResumeLock(_LCK_INFORMAION* lock, int show);
  // Restarts the idle time-out of a timed lock.
  int StartTimeOut(_LCK_INFORMAION* lock, bool show);

  // --- The driver's locks.
  // The number of locks: one per drive locked whole, plus the folder locks of the other
  // registered drives. 0 when the drive table cannot be read (message 9, shown always).
  int GetLockCount(int show);
  // Fills at most `count` records, each zeroed first, with the driver's locks (time-outs
  // in minutes, `running` 0 only for an open timed lock); records of `count` left over
  // are zeroed too. 1 on success; 0 when the drive table cannot be read or the driver
  // keeps holding more locks than `count` (a lock added since the caller counted).
  int GetLockInfo(_LCK_INFORMAION* out, int count, int show);
  // The number of folder locks of a drive; 0 on failure.
  int GetCountInDrive(char drive, int show);
  // The first `count` locks of a drive as records; 1, or 0 on failure.
  int GetInfoInDrive(char drive, int count, _LCK_INFORMAION* out, int show);

  // --- Checks and settings.
  // A drive lock is valid; a folder lock's folder must exist with no attribute but
  // FILE_ATTRIBUTE_DIRECTORY.
  bool CheckDirectory(_LCK_INFORMAION* lock);
  // Non-zero when `candidate` is already locked or nests with a listed lock.
  int CheckUsedFolder(_LCK_INFORMAION* candidate, _LCK_INFORMAION* list, int count);
  // The driver's version; 1, or 0 after message 10.
  int GetVersion(int* major, int* minor, int show);
  // Refill `defaultFolder` ("X:\...") and `lockDbPath`.
  void GetDefaultLockFolder();
  void GetLockDbPath();

  // --- Protected folders.
  // Refills `exceptFolders`: common program files, program files, the system drive, the
  // Windows folder, the user's profile, all users' profile, and the folder that holds the
  // profiles.
  void GetExceptFolder();
  // 1 when `fullPath` is one of the protected folders (ignoring case), else
  // CheckExceptFolderEx.
  int CheckExceptFolder(LPCWSTR fullPath);
  // On systems of major version 6 only: 1 for anything inside the program files or the
  // Windows folder, at any depth.
  int CheckExceptFolderEx(LPCWSTR fullPath);

  // Deletes the user's recent-document shortcuts that point into the locked object;
  // 0 when the profile or its shortcuts cannot be found, else 1.
  int RemoveShotcut(_LCK_INFORMAION* lock);

  // Appends one formatted line (at most 1023 characters) to the daily log in the log
  // folder "NB", under the module name `source`.
  static void Print(LPCWSTR source, LPCWSTR format, ...);

  // --- Trusted processes: 1 or true on success.
  int ProcRegister(_LCK_PROC_INFORMATION* process, int show);
  int ProcRemove(_LCK_PROC_INFORMATION* process, int show);
  int ProcGetCount(WCHAR drive, LPCWSTR path, int* count, int show);
  // Reads `count` trusted processes of a lock (null path: drive-wide) into `out`.
  int ProcGetInformation(WCHAR drive, LPCWSTR path, _LCK_PROC_INFORMATION* out, int count, int show);
  // The global list (trusted on every lock); silent but for memory exhaustion.
  bool ProcGlobalRegister(_LCK_PROC_INFORMATION* process, bool show);
  bool ProcGlobalRemove(_LCK_PROC_INFORMATION* process, bool show);
  int ProcGlobalCount(bool show);
  // Fills `permission`, `pid` and `procName` of `count` records.
  bool ProcGlobalGetInformation(_LCK_PROC_INFORMATION* out, int count, bool show);

  // --- Running processes (0 when they cannot be enumerated).
  int ProcCount();
  // Fills at most `max` records (zero-filled by the caller) in enumeration order; returns
  // how many.
  int ProcGetList(_PROC_INFORMATION* out, int max);

  // --- Volume serials.
  // Rebuilds `driveSerial`: drives C: to Z: that are neither unknown, without root nor
  // remote, and whose serial is not 0.
  void GetDriveSerial();
  // The serial of the volume in `drive`; 0 when it cannot be read.
  void GetVolumeSerial(WCHAR drive, DWORD* serial);
  // Lookups in `driveSerial` as last built: 0 when there is none.
  DWORD DriveToSerial(WCHAR drive);
  WCHAR SerialToDrive(DWORD serial);
  // True when `serial` is among the first `count` serials of `table`.
  bool FindDriveSerial(DWORD serial, _DRIVESERIAL* table);
  // The letter under which the mount manager knows the volume behind `drive`; `drive`
  // itself whenever anything fails. The flag is not consulted.
  WCHAR GetRealDrive(WCHAR drive, bool show);

  // --- Removable devices.
  // Registers the volume of the lock's drive with the removable-device driver (not for
  // the system drive or remote drives). `registered`, when given, tells whether this call
  // made the registration: only then may a caller that fails to lock undo it.
  bool AddDevice(_LCK_INFORMAION* lock, bool show, bool* registered = nullptr);
  // Withdraws the registration of the lock's volume, by the lock's serial (the serial of
  // the volume now in the drive when the record has none); a volume that is not
  // registered needs nothing.
  bool RemoveDevice(_LCK_INFORMAION* lock, bool show);
  // Withdraws the registration of `serial` (the drive may be gone).
  bool RemoveDevice(WCHAR drive, DWORD serial, bool show);
  // The registered devices as letters and serials.
  bool GetAddedDevice(_DRIVESERIAL* out, bool show);
  // True when `count` is 0 or a listed lock carries `serial`.
  bool CheckAddedDrive(DWORD serial, _LCK_INFORMAION* list, int count);
  // For a drive lock, trusts the default folder's trusted processes drive-wide on the
  // locked drive; true at once for a folder lock.
  bool DriveRegister(_LCK_INFORMAION* lock, bool show);
  // For a drive lock, withdraws every process trusted drive-wide on the locked drive;
  // true when all were withdrawn. True at once for a folder lock.
  bool DriveUnRegister(_LCK_INFORMAION* lock, bool show);

  _DRIVESERIAL driveSerial;
  WCHAR lockDbPath[VAULT_NAME_UNITS];
  WCHAR defaultFolder[VAULT_NAME_UNITS];
  std::vector<_LCK_INFORMAION> driverLocks;  // as the driver reports them
  std::vector<_LCK_INFORMAION> storedLocks;  // as the lock database holds them
  WCHAR exceptFolders[VAULT_EXCEPT_FOLDERS][VAULT_NAME_UNITS];

 private:
  // A client-library code (0 or negative) or a system error (positive) as a message.
  void VAULTMsg(int show, int code, WCHAR drive, LPCWSTR path);
  void SysMsg(bool show, int code);
  // Message 8 with the system's error of a failed memory request.
  void MemoryMsg(int show);
  // The shape of every lock operation: a path that fits the driver's buffer, the call,
  // its code to VAULTMsg.
  template <typename Call>
  int Operate(_LCK_INFORMAION* lock, int show, Call call);
};
