// FindFirstFileW, FindNextFileW and FindClose: a folder of a drive opened on the machine
// and read with directory queries (FileBothDirectoryInformation), a buffer at a time.
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <vector>

#include "nb/win/errors.h"
#include "nb/win/file_rules.h"
#include "objects.h"

namespace nb::win {

namespace {

constexpr ULONG kFileOpen = 1;
constexpr ULONG kDirectoryFile = 0x00000001;
constexpr ULONG kSynchronousIoNonalert = 0x00000020;
constexpr ULONG kOpenForBackupIntent = 0x00004000;
constexpr ULONG kFileBothDirectoryInformation = 3;
constexpr ULONG kListingBytes = 16 * 1024;

// FILE_BOTH_DIR_INFORMATION up to its name.
struct BothDirectoryRecord {
  ULONG nextEntryOffset;
  ULONG fileIndex;
  LARGE_INTEGER creationTime;
  LARGE_INTEGER lastAccessTime;
  LARGE_INTEGER lastWriteTime;
  LARGE_INTEGER changeTime;
  LARGE_INTEGER endOfFile;
  LARGE_INTEGER allocationSize;
  ULONG fileAttributes;
  ULONG fileNameLength;
  ULONG eaSize;
  CHAR shortNameLength;
  WCHAR shortName[12];
};
constexpr size_t kNameOffset = 94;  // FileName of FILE_BOTH_DIR_INFORMATION
static_assert(offsetof(BothDirectoryRecord, shortName) + sizeof(BothDirectoryRecord::shortName) == kNameOffset);

FILETIME FileTimeOf(LARGE_INTEGER time) {
  return FILETIME{static_cast<DWORD>(time.QuadPart), static_cast<DWORD>(static_cast<ULONGLONG>(time.QuadPart) >> 32)};
}

// An open listing: the folder's file object and the records of the last query not yet
// handed out.
class FindHandle final : public HandleObject {
 public:
  FindHandle(std::shared_ptr<DriveFileHandle> folder, bool root) : folder_(std::move(folder)), root_(root) {}
  bool Uses(const Transport* transport) const override { return folder_->Uses(transport); }

  // The next entry the caller sees; the status of the query that ended the listing.
  NTSTATUS Next(const std::u16string& pattern, WIN32_FIND_DATAW* data) {
    std::lock_guard lock(mutex_);
    for (;;) {
      while (at_ < listing_.size()) {
        if (TakeRecord(data)) return STATUS_SUCCESS;
      }
      NTSTATUS status = Query(pattern);
      if (!NT_SUCCESS(status)) return status;
    }
  }

 private:
  // Fills the buffer with the next records; a first query sends the pattern and restarts.
  NTSTATUS Query(const std::u16string& pattern) {
    listing_.resize(kListingBytes);
    ULONG returned = 0;
    NTSTATUS status = folder_->transport()->QueryDirectoryFile(folder_->object(), kFileBothDirectoryInformation,
                                                               started_ ? std::u16string() : pattern, !started_,
                                                               listing_.data(), kListingBytes, &returned);
    started_ = true;
    listing_.resize(NT_SUCCESS(status) ? returned : 0);
    at_ = 0;
    if (NT_SUCCESS(status) && returned == 0) status = STATUS_NO_MORE_FILES;
    // A listing whose only matches were left out has found nothing.
    if (status == STATUS_NO_MORE_FILES && !handedOut_) status = STATUS_NO_SUCH_FILE;
    return status;
  }

  // The record at at_, moved past; false when it is malformed (the rest is dropped) or
  // left out ("." and ".." of a drive's root).
  bool TakeRecord(WIN32_FIND_DATAW* data) {
    size_t left = listing_.size() - at_;
    if (left < kNameOffset) {
      at_ = listing_.size();
      return false;
    }
    BothDirectoryRecord record;
    std::memcpy(&record, listing_.data() + at_, sizeof record);
    size_t nameUnits = record.fileNameLength / sizeof(WCHAR);
    if (record.fileNameLength % sizeof(WCHAR) != 0 || record.fileNameLength > left - kNameOffset) {
      at_ = listing_.size();
      return false;
    }
    std::u16string name(nameUnits, u'\0');
    std::memcpy(name.data(), listing_.data() + at_ + kNameOffset, record.fileNameLength);
    size_t next = record.nextEntryOffset;
    at_ = next == 0 || next > left ? listing_.size() : at_ + next;
    if (root_ && (name == u"." || name == u"..")) return false;  // a root has neither
    if (name.size() >= MAX_PATH) return false;                   // no room for it in the record
    *data = WIN32_FIND_DATAW{};
    data->dwFileAttributes = Win32AttributesOf(record.fileAttributes);
    data->ftCreationTime = FileTimeOf(record.creationTime);
    data->ftLastAccessTime = FileTimeOf(record.lastAccessTime);
    data->ftLastWriteTime = FileTimeOf(record.lastWriteTime);
    if (!(data->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      data->nFileSizeHigh = static_cast<DWORD>(static_cast<ULONGLONG>(record.endOfFile.QuadPart) >> 32);
      data->nFileSizeLow = static_cast<DWORD>(record.endOfFile.QuadPart);
    }
    std::copy(name.begin(), name.end(), data->cFileName);
    ++handedOut_;
    return true;
  }

  std::mutex mutex_;
  std::shared_ptr<DriveFileHandle> folder_;
  bool root_;
  bool started_ = false;
  size_t handedOut_ = 0;
  std::vector<uint8_t> listing_;
  size_t at_ = 0;
};

BOOL FailBool(DWORD error) {
  SetLastError(error);
  return FALSE;
}

HANDLE FailHandle(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

}  // namespace

}  // namespace nb::win

HANDLE FindFirstFileW(LPCWSTR fileName, LPWIN32_FIND_DATAW findFileData) {
  using namespace nb::win;
  if (!fileName || !findFileData) return FailHandle(ERROR_INVALID_PARAMETER);
  FindPath find;
  DWORD error;
  if (!ParseFindPath(fileName, &find, &error)) return FailHandle(error);
  Transport* transport = CurrentTransport();
  if (!transport) return FailHandle(ERROR_NOT_READY);
  ObjectOpen open;
  open.objectName = DriveObjectName(find.directory.letter, find.directory.relative);
  open.desiredAccess = FILE_LIST_DIRECTORY | SYNCHRONIZE;
  open.shareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  open.disposition = kFileOpen;
  open.options = kDirectoryFile | kSynchronousIoNonalert | kOpenForBackupIntent;
  TransportObject object;
  ULONG information;
  NTSTATUS status = transport->CreateFileObject(open, &object, &information);
  if (!NT_SUCCESS(status)) {
    // The folder of the pattern is a path: its absence is "path not found".
    bool missing = status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_NOT_A_DIRECTORY;
    return FailHandle(missing ? ERROR_PATH_NOT_FOUND : DriveOpenError(*transport, find.directory.letter, status));
  }
  auto listing = std::make_shared<FindHandle>(std::make_shared<DriveFileHandle>(transport, object),
                                              find.directory.relative.empty());
  status = listing->Next(FileSystemPatternOf(find.pattern), findFileData);
  if (!NT_SUCCESS(status)) {
    return FailHandle(status == STATUS_NO_SUCH_FILE ? ERROR_FILE_NOT_FOUND : Win32ErrorFromNtStatus(status));
  }
  HANDLE handle = ProcessHandles().Insert(std::move(listing));
  if (!handle) return FailHandle(ERROR_TOO_MANY_OPEN_FILES);
  SetLastError(ERROR_SUCCESS);
  return handle;
}

BOOL FindNextFileW(HANDLE findFile, LPWIN32_FIND_DATAW findFileData) {
  using namespace nb::win;
  auto listing = ProcessHandles().GetAs<FindHandle>(findFile);
  if (!listing) return FailBool(ERROR_INVALID_HANDLE);
  if (!findFileData) return FailBool(ERROR_INVALID_PARAMETER);
  NTSTATUS status = listing->Next(std::u16string(), findFileData);
  if (status == STATUS_NO_SUCH_FILE) status = STATUS_NO_MORE_FILES;
  if (!NT_SUCCESS(status)) return FailBool(Win32ErrorFromNtStatus(status));
  return TRUE;
}

BOOL FindClose(HANDLE findFile) {
  using namespace nb::win;
  // Only a listing's handle closes here.
  if (!ProcessHandles().GetAs<FindHandle>(findFile)) return FailBool(ERROR_INVALID_HANDLE);
  if (!ProcessHandles().Remove(findFile)) return FailBool(ERROR_INVALID_HANDLE);
  return TRUE;
}
