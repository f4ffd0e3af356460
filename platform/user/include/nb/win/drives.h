// The drive map of this process: which host folder a drive letter's files live in.
// On a machine with mounted volumes a drive maps to its mount point; an in-process
// machine maps a drive straight to its backing folder (unfiltered).
#pragma once

#include <optional>
#include <string>

#include "nb/basetypes.h"

namespace nb::win {

// Maps drive `letter` (either case) to `hostFolder`, replacing an earlier mapping.
// Returns false for a letter outside A..Z.
bool MapDrive(WCHAR letter, const std::string& hostFolder);
void UnmapDrive(WCHAR letter);
void UnmapAllDrives();
std::optional<std::string> DriveFolder(WCHAR letter);

// Maps a drive for the life of a scope.
class ScopedDrive {
 public:
  ScopedDrive(WCHAR letter, const std::string& hostFolder) : letter_(letter) { MapDrive(letter, hostFolder); }
  ~ScopedDrive() { UnmapDrive(letter_); }
  ScopedDrive(const ScopedDrive&) = delete;
  ScopedDrive& operator=(const ScopedDrive&) = delete;

 private:
  WCHAR letter_;
};

}  // namespace nb::win
