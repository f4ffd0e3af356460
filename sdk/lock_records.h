// The driver's records as lock records, and the small text helpers of the lock object:
// pure functions, no driver and no machine.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <windows.h>

#include "VAULTSdk.h"
#include "nbfsctl.h"

namespace vault {

// `running` of a lock read from the driver: 0 only for a timed lock that is open now.
inline INT RunningOf(INT timeoutMinutes, INT mode) { return timeoutMinutes == 0 || mode != 0 ? 1 : 0; }

// A drive locked whole; the record is zeroed first.
void DriveToRecord(const NBFS_DRIVE& drive, _LCK_INFORMAION* record);
// One lock entry of a drive: a folder lock when it has a path, else a drive lock; the
// record is zeroed first.
void EntryToRecord(const NBFS_ENTRY& entry, _LCK_INFORMAION* record);

// A drive lock (mode or time-out set) rather than a drive that only holds folder locks.
inline bool IsDriveLock(const NBFS_DRIVE& drive) { return drive.flags != 0 || drive.timeout != 0; }

// The text of a fixed field up to its NUL; nullopt when it has none.
template <size_t units>
std::optional<std::u16string_view> FieldText(const WCHAR (&field)[units]) {
  std::u16string_view text(field, units);
  size_t end = text.find(u'\0');
  if (end == std::u16string_view::npos) return std::nullopt;
  return text.substr(0, end);
}

// The path of a lock as the driver gets it: at most VAULT_DRIVER_PATH_UNITS - 1
// characters; nullopt for a longer one (cutting it would name another folder).
std::optional<std::u16string> DriverPath(const _LCK_INFORMAION& lock);

// Equal ignoring the case of ASCII letters.
bool EqualIgnoringCase(std::u16string_view a, std::u16string_view b);
// The text before the second backslash; the whole text when it has one backslash;
// nullopt when it has none.
std::optional<std::u16string_view> BeforeSecondBackslash(std::u16string_view text);

// A process name in the ANSI code page, cut at a character boundary to at most 15 bytes.
std::string AnsiProcessName(const WCHAR (&name)[PROC_NAME_UNITS]);
// An ANSI process name of the driver (at most 16 bytes, not necessarily terminated)
// widened into `out`, at most 15 characters and a NUL.
void WidenProcessName(const CHAR (&name)[NBFS_PROC_NAME_BYTES], WCHAR (&out)[PROC_NAME_UNITS]);

}  // namespace vault
