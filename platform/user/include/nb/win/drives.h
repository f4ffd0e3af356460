// The drive map of this process: which host folder a drive letter's files live in.
// A drive mapped here explicitly (tests, tools) wins; any other letter is looked up in the
// machine's drive table, asked of the transport on first need and again when a letter is
// not in it. On a machine with mounted volumes a drive maps to its mount point; an
// in-process machine maps a drive straight to its backing folder (unfiltered).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "nb/basetypes.h"

namespace nb::win {

// Maps drive `letter` (either case) to `hostFolder`, replacing an earlier mapping.
// Returns false for a letter outside A..Z.
bool MapDrive(WCHAR letter, const std::string& hostFolder);
void UnmapDrive(WCHAR letter);
void UnmapAllDrives();
std::optional<std::string> DriveFolder(WCHAR letter);
// Forgets the machine's drive table, so that the next need asks again (a new transport,
// a volume that came or went).
void ForgetMachineDrives();

// The host folders of the drives, for the reverse map: for each drive, the folder in
// which processes reach it and, when it differs, its backing folder.
std::vector<std::pair<WCHAR, std::string>> DriveHostFolders();

// The drive path of a host path among `folders`: the longest folder that holds the path
// (whole components) gives its letter, and the rest follows with backslashes ("X:\a\b",
// "X:\" for the folder itself); nullopt when no folder holds it. The path is taken
// lexically ("." and ".." resolved, repeated slashes merged); relative paths have none.
std::optional<std::u16string> DrivePathIn(std::string_view hostPath,
                                          const std::vector<std::pair<WCHAR, std::string>>& folders);
// The one reverse map of this process: a host path as the drive path that names it, or,
// outside every drive, "\\?\unix" followed by the path with backslashes.
std::u16string DrivePathOf(std::string_view hostPath);

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
