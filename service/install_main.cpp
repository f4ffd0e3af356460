// NBInstall: puts the system in place on the machine at $NB_ROOT — the default lock folder
// with its empty lock and user databases, the driver images (given as host files) copied
// into that folder, where the service loads them from, and the log folder TEMP\NB in the
// Windows folder, without which the programs keep no log, and the settings key. Files already there are replaced
// only by the images; the databases are never touched once they exist. Run it before the
// service is installed, while the default folder is not locked.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <windows.h>

#include "NBUtil.h"
#include "VAULTSdk.h"
#include "nb/text.h"
#include "nb/win/socket_channel.h"

namespace {

// Copies a host file into `folder` (a drive path) through the machine's file calls, so the
// copy goes through the volume like any program's writes.
bool CopyImage(const std::string& hostFile, const std::u16string& folder) {
  std::ifstream input(hostFile, std::ios::binary);
  if (!input) {
    std::fprintf(stderr, "NBInstall: cannot read %s\n", hostFile.c_str());
    return false;
  }
  std::vector<char> bytes((std::istreambuf_iterator<char>(input)), std::istreambuf_iterator<char>());
  std::string leaf = hostFile.substr(hostFile.find_last_of('/') + 1);
  std::u16string target = folder + u"\\" + nb::text::Utf8ToUtf16(leaf);
  HANDLE file = CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "NBInstall: cannot create %s (error %lu)\n", nb::text::Utf16ToUtf8(target).c_str(),
                 static_cast<unsigned long>(GetLastError()));
    return false;
  }
  DWORD written = 0;
  bool done = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
              written == bytes.size();
  CloseHandle(file);
  if (!done) {
    std::fprintf(stderr, "NBInstall: cannot write %s\n", nb::text::Utf16ToUtf8(target).c_str());
    return false;
  }
  std::printf("NBInstall: %s -> %s\n", hostFile.c_str(), nb::text::Utf16ToUtf8(target).c_str());
  return true;
}

// The settings key of the utility library (administrator copy, lock defaults, brand), which
// its calls open but never create.
bool MakeSettingsKey() {
  constexpr std::u16string_view kMachinePrefix = u"HKEY_LOCAL_MACHINE\\";
  std::u16string_view path = NBUTIL_ADMIN_KEY;
  path.remove_prefix(kMachinePrefix.size());
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, std::u16string(path).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                   nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) {
    std::fprintf(stderr, "NBInstall: cannot make the settings key (error %ld)\n", static_cast<long>(status));
    return false;
  }
  RegCloseKey(key);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  nb::win::UseMachineFromEnvironment();
  WCHAR folder[DEFAULT_FOLDER_UNITS] = {};
  if (GetDefaultLockFolder(folder) == 0) {
    std::fprintf(stderr, "NBInstall: the default lock folder cannot be named\n");
    return 1;
  }
  if (!InstallLockStore(folder)) {
    std::fprintf(stderr, "NBInstall: cannot make %s with its databases (error %lu)\n",
                 nb::text::Utf16ToUtf8(folder).c_str(), static_cast<unsigned long>(GetLastError()));
    return 1;
  }
  std::printf("NBInstall: lock store in %s\n", nb::text::Utf16ToUtf8(folder).c_str());
  if (!MakeSettingsKey()) return 1;
  WCHAR logFolder[MAX_PATH];
  DWORD length = ExpandEnvironmentStringsW(u"%WINDIR%\\TEMP\\NB", logFolder, MAX_PATH);
  if (length == 0 || length > MAX_PATH ||
      (!CreateDirectoryW(logFolder, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)) {
    std::fprintf(stderr, "NBInstall: cannot make the log folder (error %lu)\n",
                 static_cast<unsigned long>(GetLastError()));
    return 1;
  }
  bool copied = true;
  for (int i = 1; i < argc; ++i) copied = CopyImage(argv[i], folder) && copied;
  return copied ? 0 : 1;
}
