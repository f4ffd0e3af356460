// The drive map of this process and the reverse map of host paths.
#include "nb/win/drives.h"

#include <array>
#include <filesystem>
#include <mutex>

#include "nb/text.h"
#include "nb/win/transport.h"

namespace nb::win {

namespace {

using Folders = std::array<std::optional<std::string>, 26>;

struct MachineDrives {
  bool loaded = false;
  Transport* transport = nullptr;  // whose table it is
  Folders access;                  // where processes reach each present drive
  Folders backing;                 // its backing folder
};

std::mutex driveMutex;
Folders driveFolders;  // mapped explicitly; guarded by driveMutex
MachineDrives machine;      // guarded by driveMutex

bool SlotOf(WCHAR letter, size_t* slot) {
  if (letter >= u'a' && letter <= u'z') letter = static_cast<WCHAR>(letter - u'a' + u'A');
  if (letter < u'A' || letter > u'Z') return false;
  *slot = static_cast<size_t>(letter - u'A');
  return true;
}

// Asks the transport for the machine's drive table and keeps it. A transport that cannot
// answer leaves an empty table (asked again at the next need).
void LoadMachineDrives() {
  Transport* transport = CurrentTransport();
  MachineDrives table;
  table.transport = transport;
  std::vector<protocol::VolumeEntry> volumes;
  if (transport && NT_SUCCESS(transport->QueryVolumes(&volumes))) {
    table.loaded = true;
    for (const protocol::VolumeEntry& volume : volumes) {
      size_t slot;
      // Only absolute folders are taken from the answer; a drive with none (a remote one)
      // has no host folder.
      if (!volume.present || !SlotOf(volume.letter, &slot) || !volume.accessFolder.starts_with('/')) continue;
      table.access[slot] = volume.accessFolder;
      if (volume.folder.starts_with('/')) table.backing[slot] = volume.folder;
    }
  }
  std::lock_guard lock(driveMutex);
  machine = std::move(table);
}

// The table of the current transport, loaded when `refresh` or when it is not loaded.
MachineDrives CurrentMachineDrives(bool refresh) {
  {
    std::lock_guard lock(driveMutex);
    if (!refresh && machine.loaded && machine.transport == CurrentTransport()) return machine;
  }
  LoadMachineDrives();
  std::lock_guard lock(driveMutex);
  return machine;
}

std::u16string WithBackslashes(std::string_view path) {
  std::u16string wide = nb::text::Utf8ToUtf16(path);
  for (char16_t& unit : wide) {
    if (unit == u'/') unit = u'\\';
  }
  return wide;
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

void ForgetMachineDrives() {
  std::lock_guard lock(driveMutex);
  machine = MachineDrives{};
}

std::optional<std::string> DriveFolder(WCHAR letter) {
  size_t slot;
  if (!SlotOf(letter, &slot)) return std::nullopt;
  {
    std::lock_guard lock(driveMutex);
    if (driveFolders[slot]) return driveFolders[slot];
  }
  if (!CurrentTransport()) return std::nullopt;
  MachineDrives table = CurrentMachineDrives(false);
  if (table.access[slot]) return table.access[slot];
  // A letter that is not in the table may have come since it was read.
  return CurrentMachineDrives(true).access[slot];
}

std::vector<std::pair<WCHAR, std::string>> DriveHostFolders() {
  std::vector<std::pair<WCHAR, std::string>> folders;
  Folders explicitly;
  {
    std::lock_guard lock(driveMutex);
    explicitly = driveFolders;
  }
  MachineDrives table;
  if (CurrentTransport()) table = CurrentMachineDrives(false);
  for (size_t slot = 0; slot < 26; ++slot) {
    auto letter = static_cast<WCHAR>(u'A' + slot);
    if (explicitly[slot]) {
      folders.emplace_back(letter, *explicitly[slot]);
      continue;
    }
    if (table.access[slot]) folders.emplace_back(letter, *table.access[slot]);
    if (table.backing[slot] && table.backing[slot] != table.access[slot]) {
      folders.emplace_back(letter, *table.backing[slot]);
    }
  }
  return folders;
}

std::optional<std::u16string> DrivePathIn(std::string_view hostPath,
                                          const std::vector<std::pair<WCHAR, std::string>>& folders) {
  if (!hostPath.starts_with('/')) return std::nullopt;
  std::string path = std::filesystem::path(hostPath).lexically_normal().string();
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const std::pair<WCHAR, std::string>* best = nullptr;
  size_t bestLength = 0;
  std::string rest;
  for (const auto& entry : folders) {
    if (!entry.second.starts_with('/')) continue;
    std::string folder = std::filesystem::path(entry.second).lexically_normal().string();
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    bool holds = path == folder || (path.starts_with(folder) && (folder == "/" || path[folder.size()] == '/'));
    if (!holds || (best && folder.size() <= bestLength)) continue;
    best = &entry;
    bestLength = folder.size();
    rest = path.substr(folder == "/" ? 1 : folder.size());
    if (rest.starts_with('/')) rest.erase(0, 1);
  }
  if (!best) return std::nullopt;
  WCHAR letter = best->first;
  if (letter >= u'a' && letter <= u'z') letter = static_cast<WCHAR>(letter - u'a' + u'A');
  return std::u16string(1, letter) + u":\\" + WithBackslashes(rest);
}

std::u16string DrivePathOf(std::string_view hostPath) {
  std::optional<std::u16string> onDrive = DrivePathIn(hostPath, DriveHostFolders());
  if (onDrive) return *onDrive;
  std::string path(hostPath);
  if (path.starts_with('/')) path = std::filesystem::path(path).lexically_normal().string();
  if (!path.starts_with('/')) path.insert(path.begin(), '/');
  return u"\\\\?\\unix" + WithBackslashes(path);
}

}  // namespace nb::win
