// GetFileAttributesW, DeleteFileW and the folder listing calls on drive paths, served
// through the drive map (the drive's mount, or an in-process machine's backing folder),
// as the C libraries that open files by name reach them.
#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <windows.h>
#include <fileapi.h>

#include "nb/text.h"
#include "nb/win/errors.h"
#include "nb/win/handle_table.h"
#include "nb/win/host_path.h"

namespace {

// A listing taken whole when it is opened.
class FindHandle final : public nb::win::HandleObject {
 public:
  explicit FindHandle(std::vector<WIN32_FIND_DATAW> entries) : entries_(std::move(entries)) {}
  bool Next(WIN32_FIND_DATAW* data) {
    if (next_ == entries_.size()) return false;
    *data = entries_[next_++];
    return true;
  }

 private:
  std::vector<WIN32_FIND_DATAW> entries_;
  size_t next_ = 0;
};

DWORD AttributesOf(const struct stat& info, const std::string& hostPath) {
  if (S_ISDIR(info.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
  if (access(hostPath.c_str(), W_OK) != 0) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes;
}

std::optional<std::string> HostPathOfName(LPCWSTR name, DWORD* error) {
  if (!name || !*name) {
    *error = ERROR_INVALID_PARAMETER;
    return std::nullopt;
  }
  std::optional<std::string> host = nb::win::HostPathOf(nb::text::Utf16ToUtf8(name), error);
  if (!host && *error == ERROR_SUCCESS) *error = ERROR_PATH_NOT_FOUND;
  return host;
}

DWORD ErrorOf(int error, bool parentMissing) {
  if (error == ENOENT) return parentMissing ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
  if (error == ENOTDIR) return ERROR_PATH_NOT_FOUND;
  return nb::win::Win32ErrorFromErrno(error);
}

bool ParentMissing(const std::string& hostPath) {
  struct stat info;
  std::string parent = hostPath.substr(0, hostPath.find_last_of('/'));
  return parent.empty() || stat(parent.c_str(), &info) != 0 || !S_ISDIR(info.st_mode);
}

void Fill(WIN32_FIND_DATAW* data, const std::string& name, DWORD attributes, off_t size) {
  *data = WIN32_FIND_DATAW{};
  data->dwFileAttributes = attributes;
  data->nFileSizeLow = static_cast<DWORD>(static_cast<uint64_t>(size));
  data->nFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(size) >> 32);
  std::u16string wide = nb::text::Utf8ToUtf16(name);
  wide.resize(std::min<size_t>(wide.size(), MAX_PATH - 1));
  std::copy(wide.begin(), wide.end(), data->cFileName);
}

}  // namespace

DWORD GetFileAttributesW(LPCWSTR fileName) {
  DWORD error = ERROR_SUCCESS;
  std::optional<std::string> host = HostPathOfName(fileName, &error);
  if (!host) {
    SetLastError(error);
    return INVALID_FILE_ATTRIBUTES;
  }
  struct stat info;
  if (stat(host->c_str(), &info) != 0) {
    SetLastError(ErrorOf(errno, ParentMissing(*host)));
    return INVALID_FILE_ATTRIBUTES;
  }
  return AttributesOf(info, *host);
}

BOOL DeleteFileW(LPCWSTR fileName) {
  DWORD error = ERROR_SUCCESS;
  std::optional<std::string> host = HostPathOfName(fileName, &error);
  if (!host) {
    SetLastError(error);
    return FALSE;
  }
  struct stat info;
  if (lstat(host->c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);  // folders are removed with RemoveDirectoryW
    return FALSE;
  }
  if (unlink(host->c_str()) != 0) {
    SetLastError(ErrorOf(errno, ParentMissing(*host)));
    return FALSE;
  }
  return TRUE;
}

HANDLE FindFirstFileW(LPCWSTR fileName, LPWIN32_FIND_DATAW findFileData) {
  if (!fileName || !findFileData) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::u16string name(fileName);
  size_t separator = name.find_last_of(u"\\/");
  if (separator == std::u16string::npos || separator + 1 == name.size()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::u16string folder = name.substr(0, separator);
  std::string pattern = nb::text::Utf16ToUtf8(name.substr(separator + 1));
  if (pattern == "*.*") pattern = "*";
  bool root = folder.size() == 2 && folder[1] == u':';
  if (root) folder += u'\\';
  DWORD error = ERROR_SUCCESS;
  std::optional<std::string> host = HostPathOfName(folder.c_str(), &error);
  if (!host) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  DIR* directory = opendir(host->c_str());
  if (!directory) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::vector<WIN32_FIND_DATAW> entries;
  while (dirent* entry = readdir(directory)) {
    std::string leaf = entry->d_name;
    if (root && (leaf == "." || leaf == "..")) continue;
    if (fnmatch(pattern.c_str(), leaf.c_str(), FNM_NOESCAPE) != 0) continue;
    std::string path = *host + "/" + leaf;
    struct stat info;
    if (stat(path.c_str(), &info) != 0) continue;
    entries.emplace_back();
    Fill(&entries.back(), leaf, AttributesOf(info, path), info.st_size);
  }
  closedir(directory);
  if (entries.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  auto find = std::make_shared<FindHandle>(std::move(entries));
  find->Next(findFileData);
  HANDLE handle = nb::win::ProcessHandles().Insert(std::move(find));
  if (!handle) {
    SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

BOOL FindNextFileW(HANDLE findFile, LPWIN32_FIND_DATAW findFileData) {
  auto find = nb::win::ProcessHandles().GetAs<FindHandle>(findFile);
  if (!find || !findFileData) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!find->Next(findFileData)) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  return TRUE;
}

BOOL FindClose(HANDLE findFile) {
  if (!nb::win::ProcessHandles().GetAs<FindHandle>(findFile) || !nb::win::ProcessHandles().Remove(findFile)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
