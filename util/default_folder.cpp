// LockDefaultFolder and the other calls on the default lock folder, its databases' names,
// the driver file and the driver's version.
#include <algorithm>
#include <optional>

#include "NBUtil.h"
#include "default_folder.h"
#include "nb/text.h"
#include "nbclient.h"

namespace {

constexpr const char16_t* kDatabaseNames[] = {u"user", u"lock"};  // DB_USER, DB_LOCK

// Copies `text` into a caller's buffer of DEFAULT_FOLDER_UNITS; returns its length.
int Publish(const std::u16string& text, WCHAR* out) {
  if (text.size() >= DEFAULT_FOLDER_UNITS) {
    out[0] = 0;
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  std::copy(text.begin(), text.end(), out);
  out[text.size()] = 0;
  return static_cast<int>(text.size());
}

// Runs a driver call on the default folder; a folder that cannot be named fails it.
template <typename Call>
int OnDefaultFolder(Call call, int failure) {
  std::optional<std::u16string> folder = nbutil::DefaultFolder();
  if (!folder) return failure;
  nbutil::DrivePath split = nbutil::SplitDrivePath(*folder);
  return call(split.letter, split.path.c_str());
}

}  // namespace

int GetDefaultLockFolder(WCHAR* out) {
  if (!out) return 0;
  out[0] = 0;
  std::optional<std::u16string> folder = nbutil::DefaultFolder();
  return folder ? Publish(*folder, out) : 0;
}

int GetDbPath(WCHAR* out, int index) {
  if (!out) return 0;
  out[0] = 0;
  if (index != DB_USER && index != DB_LOCK) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::optional<std::u16string> folder = nbutil::DefaultFolder();
  if (!folder) return 0;
  return Publish(nb::text::FormatWide(u"%s\\%s", folder->c_str(), kDatabaseNames[index]), out);
}

int LockDefaultFolder() {
  return OnDefaultFolder([](WCHAR letter, const WCHAR* path) { return LockFolder(letter, path, 1, 0) == 0; }, 0);
}

int ReleaseDefaultFolder(int force) {
  int unlocked = OnDefaultFolder([](WCHAR letter, const WCHAR* path) { return UnlockFolder(letter, path) == 0; }, 0);
  return force || unlocked ? 1 : 0;
}

int ReleaseDefaultFolderEx() {
  if (ReleaseDefaultFolder(0)) return 1;
  int answer = CheckDefaultFolder();
  return answer == DEFAULT_FOLDER_MISSING || answer == DEFAULT_FOLDER_ERROR ? 0 : 1;
}

int PauseDefaultFolder() {
  if (OnDefaultFolder([](WCHAR letter, const WCHAR* path) { return Pause(letter, path) == 0; }, 0)) return 1;
  int answer = CheckDefaultFolder();
  return answer == DEFAULT_FOLDER_MISSING || answer == DEFAULT_FOLDER_ERROR ? 0 : 1;
}

int ResumeDefaultFolder() {
  return OnDefaultFolder([](WCHAR letter, const WCHAR* path) { return Resume(letter, path) == 0; }, 0);
}

int CheckDefaultFolder() {
  std::optional<std::u16string> folder = nbutil::DefaultFolder();
  if (!folder) return DEFAULT_FOLDER_ERROR;
  HANDLE handle = CreateFileW(folder->c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nbutil::DefaultFolderAnswer(GetLastError());
  CloseHandle(handle);
  return DEFAULT_FOLDER_OPEN;
}

int CheckVAULTDriverPath(int major, int minor) {
  std::optional<std::u16string> folder = nbutil::DefaultFolder();
  if (!folder) return static_cast<int>(GetLastError());
  // Looking the file up by an open without access answers as reading its attributes does.
  HANDLE handle = CreateFileW(nbutil::DriverFileOf(*folder, major, minor).c_str(), 0,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                              nullptr);
  if (handle == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  CloseHandle(handle);
  return ERROR_SUCCESS;
}

int VAULTVersion(int* major, int* minor) {
  ULONG version = 0;
  int result = GetVersion(&version);
  if (result != 0) return result;
  if (major) *major = static_cast<int>((version >> 8) & 0xFF);
  if (minor) *minor = static_cast<int>(version & 0xFF);
  return 0;
}
