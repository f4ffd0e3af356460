// Installation of the store: the default lock folder and its two empty databases.
#include <sys/stat.h>

#include <cerrno>
#include <optional>
#include <string>

#include <windows.h>

#include "VAULTSdk.h"
#include "nb/text.h"
#include "nb/win/host_path.h"

namespace {

constexpr mode_t kFolderMode = 0775;
constexpr int kBlockSize = 1024;
constexpr int kFileMode = 0664;
constexpr const char16_t* kDatabaseNames[] = {u"user", u"lock"};

std::optional<std::string> HostPathOf(const std::u16string& path) {
  return nb::win::HostPathOf(nb::text::Utf16ToUtf8(path));
}

// Creates one folder whose parent exists; an existing folder is fine.
bool CreateFolder(const std::u16string& folder) {
  std::optional<std::string> host = HostPathOf(folder);
  if (!host) return false;
  if (mkdir(host->c_str(), kFolderMode) == 0) return true;
  struct stat info;
  return errno == EEXIST && stat(host->c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Creates an empty database unless a file of that name is already there.
bool CreateDatabase(const std::u16string& file) {
  std::optional<std::string> host = HostPathOf(file);
  if (!host) return false;
  struct stat info;
  if (lstat(host->c_str(), &info) == 0) return S_ISREG(info.st_mode);
  if (errno != ENOENT) return false;
  GDBM_FILE db = gdbm_open(host->c_str(), kBlockSize, GDBM_WRCREAT, kFileMode, nullptr);
  if (!db) return false;
  bool synced = gdbm_sync(db) == 0;
  return gdbm_close(db) == 0 && synced;
}

}  // namespace

bool InstallLockStore(LPCWSTR folder) {
  if (!folder) return false;
  std::u16string path(folder);
  while (path.size() > 3 && (path.back() == u'\\' || path.back() == u'/')) path.pop_back();
  if (path.size() < 3 || path[1] != u':') return false;  // a folder of a drive: "X:\..."
  // Each parent below the drive's root, then the folder itself.
  for (size_t at = path.find_first_of(u"\\/", 3); at != std::u16string::npos;
       at = path.find_first_of(u"\\/", at + 1)) {
    if (!CreateFolder(path.substr(0, at))) return false;
  }
  if (!CreateFolder(path)) return false;
  for (const char16_t* name : kDatabaseNames) {
    if (!CreateDatabase(path + u"\\" + name)) return false;
  }
  return true;
}
