// The utility library (NBUtil): the administrator account and settings in the registry,
// the password digest, the default lock folder and its databases, lock utilities that
// need no lock object, service presence and notification objects, trusted-process
// termination, system texts and the language, and removable-device registration.
// Plain functions; integer results are non-zero on success unless stated. Include
// <windows.h> first.
#pragma once

#include <cstddef>

#include "LanguageInfo.h"
#include "VAULTSdk.h"

#define NBUTIL_API extern "C" __attribute__((visibility("default")))

// The registry key that holds "USER", "DEFAULT" and "COMPANY"; it is expected to exist.
#define NBUTIL_ADMIN_KEY u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\NBAdmin"
// The installer's key of the product, below the uninstall key, with "LANGUAGE".
#define NBUTIL_INSTALL_ID u"{9681097C-03B8-45BD-A671-75BD72285DF0}"
// The service's presence and the console's notification event.
#define NBUTIL_SERVICE_MUTEX u"Global\\NBSVC SERVICE MUTEX"
#define NBUTIL_ADMIN_EVENT u"NbNotiftyEvent0000"

// Settings for new locks.
inline constexpr int DEFOPTION_TIMEOUT_MAX = 10000;  // minutes

// A digest: 40 lower-case hexadecimal characters and a NUL.
inline constexpr size_t PASSWORD_DIGEST_UNITS = 41;

// Answers of CheckDefaultFolder.
inline constexpr int DEFAULT_FOLDER_OPEN = 1;
inline constexpr int DEFAULT_FOLDER_DENIED = 2;
inline constexpr int DEFAULT_FOLDER_MISSING = 3;
inline constexpr int DEFAULT_FOLDER_ERROR = 4;

// Indexes of GetDbPath.
inline constexpr int DB_USER = 0;
inline constexpr int DB_LOCK = 1;

// Room for the default lock folder and the names of the files in it.
inline constexpr size_t DEFAULT_FOLDER_UNITS = MAX_PATH;

// A volume as the removable-device registration sees it.
struct _DEVICE_INFO {
  INT devLetter;    // drive letter; its low byte is what the device driver gets
  BYTE reserved1[8];
  INT devType;      // drive type of "X:\" (DRIVE_REMOVABLE, DRIVE_FIXED, DRIVE_REMOTE ...)
  BYTE reserved2[8];
  INT isSystem;     // 1 for the system drive
  DWORD devSerial;  // volume serial number
};

static_assert(sizeof(_DEVICE_INFO) == 32);
static_assert(offsetof(_DEVICE_INFO, devLetter) == 0);
static_assert(offsetof(_DEVICE_INFO, devType) == 12);
static_assert(offsetof(_DEVICE_INFO, isSystem) == 24);
static_assert(offsetof(_DEVICE_INFO, devSerial) == 28);

// --- Administrator account, password digest and settings -----------------------------
// Each call opens the key, reads or writes one value and closes it; on failure the
// registry's error stays as the thread's last error.

// Clears `out` and reads "USER" into it: success only for exactly 404 bytes.
NBUTIL_API int AdmGet(_PWDTBL* out);
// Writes "USER": the user name (at most 49 characters), the digest of the password (taken
// at most 100 characters long), administrator flag 0, no comment.
NBUTIL_API int AdmSet(const char* user, const char* password);
// Writes the caller's record as "USER" unchanged.
NBUTIL_API int AdmSetEx(const _PWDTBL* record);
// Success when "USER" holds exactly this user name (case-sensitive) and the digest of
// this password, both taken as AdmSet takes them.
NBUTIL_API int AdmCheck(const char* user, const char* password);
// hex(SHA-1(hex(SHA-0(ANSI("QUILL[password]HARBOR"))))), lower-case, written into `digest`
// (at most `digestChars` units with the NUL). `length` is not consulted. Returns 1.
NBUTIL_API int CreatePassword(const WCHAR* password, int length, WCHAR* digest, int digestChars);
// "DEFAULT": the mode and the idle time-out in minutes (0..10000); 0, with both outputs 0,
// when the value cannot be read.
NBUTIL_API int GetDefOption(int* mode, int* timeout);
NBUTIL_API int SetDefOption(int mode, int timeout);
// "COMPANY", the brand code; 0 when it cannot be read.
NBUTIL_API int GetCompany();
NBUTIL_API int SetCompany(int code);

// --- Default folder and databases ----------------------------------------------------

// "<Windows folder>\Application Data\NB" into `out` (DEFAULT_FOLDER_UNITS); returns its
// length, or 0 with an empty `out` when the Windows folder is longer than 99 characters.
NBUTIL_API int GetDefaultLockFolder(WCHAR* out);
// The user database (DB_USER) or the lock database (DB_LOCK) in the default folder;
// returns the length, or 0 with an empty `out` for any other index.
NBUTIL_API int GetDbPath(WCHAR* out, int index);
// Locks the default folder hidden, without time-out.
NBUTIL_API int LockDefaultFolder();
// Unlocks it; 1 when `force` is set or the unlock succeeded.
NBUTIL_API int ReleaseDefaultFolder(int force);
// Unlocks it; a failure counts only while the folder is missing or cannot be asked.
NBUTIL_API int ReleaseDefaultFolderEx();
NBUTIL_API int PauseDefaultFolder();
NBUTIL_API int ResumeDefaultFolder();
// DEFAULT_FOLDER_OPEN, _DENIED (locked), _MISSING or _ERROR.
NBUTIL_API int CheckDefaultFolder();
// The system error of looking up the driver file "nbfs<major><minor>.sys" in the default
// folder: 0 when it is there.
NBUTIL_API int CheckVAULTDriverPath(int major, int minor);
// The filter driver's version: 0, or the client library's code (outputs untouched).
NBUTIL_API int VAULTVersion(int* major, int* minor);

// --- Locks without a lock object -----------------------------------------------------

// The number of locks in the driver; 0 on any failure.
NBUTIL_API int GetLockCount();
// Fills at most `count` records (zeroed first) with the driver's locks: type, drive, mode,
// time-out in seconds and the path of folder locks. 0 when the drive table cannot be
// read, or when the driver keeps holding more locks than `count` (a lock added since the
// caller counted).
NBUTIL_API int GetLockInfo(_LCK_INFORMAION* out, int count);
// Unlocks a folder lock (type 1) or a drive lock; 1 when the driver reports success.
NBUTIL_API int UnLock(const _LCK_INFORMAION* lock);
// Unlocks every lock of the driver (each is attempted); 1 only when all succeeded.
NBUTIL_API int UnlockAll();

// --- Checks --------------------------------------------------------------------------

// 1 when the candidate is the same folder or drive as a listed lock, lies inside one or
// holds one ("X:" covers every folder of X:; a name that merely begins with another
// counts too); 0 when none collides or `count` is 0.
NBUTIL_API int CheckUsedFolder(const _LCK_INFORMAION* candidate, const _LCK_INFORMAION* list, int count);
// 1 when the two paths are equal ignoring case; drives are not compared.
NBUTIL_API int LockCMP(const _LCK_INFORMAION* a, const _LCK_INFORMAION* b);
// 1 for a fixed or removable drive, the only kinds that may be locked.
NBUTIL_API int CheckDrive(WCHAR letter);
// Resolves nothing: there are no shortcut objects here. Returns 1, writes nothing.
NBUTIL_API int ResolvShotcut(const WCHAR* shortcut, WCHAR* target);

// --- Service presence and notification -----------------------------------------------

// Creates the service mutex (not owned) into `*out`; 1 unless creation failed.
NBUTIL_API int CreateLock(HANDLE* out);
// 1 when the service mutex exists (also when it belongs to another account); 0 with the
// open error as last error otherwise.
NBUTIL_API int CheckLock();
// Has the driver create the notification event (unless `openOnly`), then opens and
// resets it. False with the driver's code or the system error in `*error`.
NBUTIL_API bool CreateAdminEvent(HANDLE* event, int* error, bool openOnly);

// --- Processes -----------------------------------------------------------------------

// Takes every process off the driver's global trusted list and terminates it.
NBUTIL_API void TerminateProc();
// The same for the processes trusted on the default folder.
NBUTIL_API void TerminateProcEx();

// --- Text and language ---------------------------------------------------------------

// The system's text for `code` into `out` (1024 units hold every system text); returns
// its length, 0 with an empty `out` when the code has none.
NBUTIL_API int SysMessage(unsigned code, WCHAR* out);
// English (3, 9, 1, 0, "EN") unless the installation's "LANGUAGE" says otherwise; returns
// whether it did.
NBUTIL_API int GetDefaultLang(LanguageInfo* out);

// --- Removable-device registration ---------------------------------------------------
// `*error` gets a system error or the device driver's code (-3100 .. -3103).

// Registers the drive's volume by serial, unless it is the system drive, a remote drive
// or registered already. On success `*error` is 0, or ERROR_ALREADY_EXISTS when the
// volume was registered before this call: a caller undoing its registration after a
// failed lock then leaves it, as other locks on the volume still need it.
NBUTIL_API bool AddDevice(int letter, int* error);
// Removes the registration of the volume now in the drive, by its serial, unless it is
// the system drive or remote.
NBUTIL_API bool RemoveDevice(int letter, int* error);
// Removes the registration of `device->devSerial` (the letter plays no part: the volume
// may have moved or gone); callers that know only a letter and a serial fill those two.
NBUTIL_API bool RemoveDeviceEx(const _DEVICE_INFO* device, int* error);
// The registered volumes in the device driver's order. More than 26: the first 26 are
// copied and the result is false with ERROR_MORE_DATA.
NBUTIL_API bool AddedDeviceList(_DRIVESERIAL* out, int* error);
