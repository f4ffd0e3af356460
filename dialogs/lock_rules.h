// What the lock dialogs decide, without widgets: the drives offered, the folder path a
// user typed or browsed, the steps that create a lock and the change of an existing one.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <windows.h>

#include "VAULTSdk.h"

namespace nb::dialogs {

// Message numbers of the lock dialogs.
inline constexpr UINT kMsgUsedFolder = 4;
inline constexpr UINT kMsgStatusReady = 16;
inline constexpr UINT kMsgStatusRunning = 17;
inline constexpr UINT kMsgStatusPaused = 18;
inline constexpr UINT kMsgBrowseTitle = 19;
inline constexpr UINT kMsgExcluded = 21;
inline constexpr UINT kMsgUnknownMode = 43;
inline constexpr UINT kMsgNoFolder = 45;
inline constexpr UINT kMsgDriveRoot = 47;
inline constexpr UINT kMsgDriveRejected = 48;

// The folder path field takes at most this many characters.
inline constexpr int kFolderPathChars = MAX_PATH - 1;

using DriveFilter = std::function<bool(WCHAR letter)>;

// A drive letter in upper case; anything else unchanged.
WCHAR UpperLetter(WCHAR letter);

// The drives C: to Z: of the logical-drive mask that `accepted` takes, without the system
// drive (compared ignoring case), as upper-case letters in order.
std::vector<WCHAR> OfferedDrives(DWORD mask, WCHAR systemDrive, const DriveFilter& accepted);
// The letter of "%SystemDrive%"; 0 when it does not expand to "X:".
WCHAR SystemDriveLetter();

// Whether a folder chosen in the browser goes into the path field: not a drive root
// (longer than 3 characters) and on a drive `accepted` takes.
bool TakesBrowsedFolder(std::u16string_view path, const DriveFilter& accepted);

// A typed folder path in the form "X:\name\..." with "." and ".." components, repeated
// separators ("\" or "/") and a trailing separator resolved (".." stops at the root) and
// the letter in upper case. False when the text is not of that form or contains a NUL.
bool NormalizeFolderPath(std::u16string_view typed, std::u16string* normalized);
// The typed path resolved and checked: 0 with `resolved` set ("X:\..." naming an existing
// folder below the root), kMsgDriveRoot for a drive root, kMsgDriveRejected on a drive
// `accepted` does not take (as the browser refuses it), kMsgNoFolder otherwise.
UINT ResolveFolderPath(std::u16string_view typed, const DriveFilter& accepted, std::u16string* resolved);

// The user's choice in the add dialog.
struct LockChoice {
  bool folder = true;
  WCHAR drive = 0;         // the drive of a folder (from the resolved path) or drive lock
  std::u16string path;     // "\..." of a folder lock, empty for a drive lock
  int mode = 1;
  int timeout = 0;
};

// The outcome of an attempt to lock: `locked`, or a message to show (0: the SDK showed
// its own, or nothing is to be said).
struct AddOutcome {
  bool locked = false;
  UINT message = 0;
};

// Creates the lock: the protected-folder and used-folder checks, the volume serial, the
// removable-device registration, the driver lock. On success `out` holds the new record
// (status locked, `running` set for time-out 0, the volume serial) and the shortcuts into
// it are cleaned up; on failure `out` is unchanged and a registration made by this call is
// withdrawn by serial (one other locks on the volume made stays).
AddOutcome AddLock(const LockChoice& choice, const _LCK_INFORMAION* existing, int count, CVAULTObj& vault,
                   _LCK_INFORMAION* out);

// The status text of a lock: 18 paused, else 17 while `running` is set, else 16.
UINT StatusMessage(const _LCK_INFORMAION& lock);
// The lock's name: "X:\" for a drive, "X:\..." for a folder, with the real drive letter.
std::u16string LockName(const _LCK_INFORMAION& lock);
// Whether the mode is one the lists show (1 hidden, 4 read only).
bool KnownMode(int mode);

// Changes mode (none: kept) and time-out through `setLock`; on success `running` is set
// for time-out 0 and cleared otherwise, on failure mode and time-out are restored.
bool ApplyProperties(_LCK_INFORMAION* lock, std::optional<int> mode, int timeout,
                     const std::function<bool(_LCK_INFORMAION*)>& setLock);

}  // namespace nb::dialogs
