// The drive map of this process.
#include "nb/win/drives.h"

#include <array>
#include <mutex>

namespace nb::win {

namespace {

std::mutex driveMutex;
std::array<std::optional<std::string>, 26> driveFolders;

bool SlotOf(WCHAR letter, size_t* slot) {
  if (letter >= u'a' && letter <= u'z') letter = static_cast<WCHAR>(letter - u'a' + u'A');
  if (letter < u'A' || letter > u'Z') return false;
  *slot = static_cast<size_t>(letter - u'A');
  return true;
}

}  // namespace

bool MapDrive(WCHAR letter, const std::string& hostFolder) {
  size_t slot;
  if (!SlotOf(letter, &slot)) return false;
  std::lock_guard lock(driveMutex);
  driveFolders[slot] = hostFolder;
  return true;
}

void UnmapDrive(WCHAR letter) {
  size_t slot;
  if (!SlotOf(letter, &slot)) return;
  std::lock_guard lock(driveMutex);
  driveFolders[slot].reset();
}

void UnmapAllDrives() {
  std::lock_guard lock(driveMutex);
  for (auto& folder : driveFolders) folder.reset();
}

std::optional<std::string> DriveFolder(WCHAR letter) {
  size_t slot;
  if (!SlotOf(letter, &slot)) return std::nullopt;
  std::lock_guard lock(driveMutex);
  return driveFolders[slot];
}

}  // namespace nb::win
