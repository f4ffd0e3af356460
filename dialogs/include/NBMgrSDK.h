// The dialog library (NBMgrSDK): one exported function per modal dialog. Each builds its
// dialog from the library's language resource module, runs it modally and returns 1 when
// it ended with OK and 0 otherwise; without the resource module every export returns 0 at
// once. A process without a QApplication gets one for the length of the run. Records and
// stores are the caller's; no call keeps a pointer after it returns. Include <windows.h>
// first.
#pragma once

#include "VAULTSdk.h"

#define NBMGRSDK_API extern "C" __attribute__((visibility("default")))

// Checks a user name and password against the user database; on OK `account` holds the
// stored record. `*remember` follows the remember-user check box at each click; when it is
// set on entry, the name field starts with `account->user`. `brand` is not used.
NBMGRSDK_API int LoginDialog(int brand, _PWDTBL* account, int* remember, CMdb* users);
// Asks for the password of a known account and compares its digest with `digest`.
NBMGRSDK_API int PwdDialog(const WCHAR* user, const WCHAR* digest);
// Changes the password and comment of the logged-in account in the user database (and, for
// the administrator, in the registry); on OK `account` holds the new record.
NBMGRSDK_API int ChangePwdDialog(_PWDTBL* account, CMdb* users);

// Asks for a folder or drive, a lock mode and an idle time-out and locks it; 1 when the
// lock was made and `lock` (zeroed by the caller) holds its record. The new lock must not
// be one of `locks` (may be null), lie inside one or hold one.
NBMGRSDK_API int AddDialog(_LCK_INFORMAION* locks, int count, _LCK_INFORMAION* lock);
// Changes the mode and idle time-out of a lock (not of a paused one); 1 when closed by
// apply, with `lock` holding the values the driver took (the old ones when it refused).
NBMGRSDK_API int PropertyDialog(_LCK_INFORMAION* lock);

// Lists, adds and deletes accounts and hands the administrator role on. 1 when it closed
// without having unlocked any lock, 0 when it unlocked some (the caller reloads its list).
NBMGRSDK_API int AdminDialog(_LCK_INFORMAION* locks, int count, _PWDTBL* account, CMdb* users, CMdb* lockDb,
                             int brand);
// The first-run dialog: creates the administrator account in the user database and the
// registry; 1 when it was created and stored. `accounts` (may be null) are names taken.
NBMGRSDK_API int AdminAddDialog(_PWDTBL* accounts, int count, _PWDTBL* account, CMdb* users);
// Edits the default lock mode and idle time-out of new locks.
NBMGRSDK_API void DefValueDialog();
// Shows the splash screen for half a second: only for brand 2 on a Simplified-Chinese
// system.
NBMGRSDK_API void SplashDialog(int brand);
