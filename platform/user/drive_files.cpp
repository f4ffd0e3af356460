// Win32 calls on files and folders of drives: each is a create, read, write, query or
// set of a file object on the machine, through the transport, in this process's identity.
#include <windows.h>

#include <limits>

#include "nb/text.h"
#include "nb/win/errors.h"
#include "nb/win/file_rules.h"
#include "nb/win/paths.h"
#include "objects.h"

namespace nb::win {

namespace {

// NT values of IRP_MJ_CREATE (nt/fileinfo.h is the kernel's header).
constexpr ULONG kFileOpen = 1;
constexpr ULONG kFileCreate = 2;
constexpr ULONG kFileSuperseded = 0;
constexpr ULONG kFileOpened = 1;
constexpr ULONG kFileOverwritten = 3;
constexpr ULONG kDirectoryFile = 0x00000001;
constexpr ULONG kSynchronousIoNonalert = 0x00000020;
constexpr ULONG kNonDirectoryFile = 0x00000040;
constexpr ULONG kOpenForBackupIntent = 0x00004000;
constexpr ULONG kOpenReparsePoint = 0x00200000;
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// FILE_INFORMATION_CLASS values and records the calls use.
constexpr ULONG kFileBasicInformation = 4;
constexpr ULONG kFileStandardInformation = 5;
constexpr ULONG kFileDispositionInformation = 13;
constexpr ULONG kFilePositionInformation = 14;
constexpr ULONG kFileEndOfFileInformation = 20;

struct BasicInformation {
  LARGE_INTEGER creationTime;
  LARGE_INTEGER lastAccessTime;
  LARGE_INTEGER lastWriteTime;
  LARGE_INTEGER changeTime;
  ULONG fileAttributes;
};
static_assert(sizeof(BasicInformation) == 40);

struct StandardInformation {
  LARGE_INTEGER allocationSize;
  LARGE_INTEGER endOfFile;
  ULONG numberOfLinks;
  BOOLEAN deletePending;
  BOOLEAN directory;
};
static_assert(sizeof(StandardInformation) == 24);

constexpr DWORD kWriteAccess = GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA;

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The drive file behind a handle, or null with the error set: an open handle of another
// kind cannot do file calls.
std::shared_ptr<DriveFileHandle> FileOf(HANDLE handle) {
  auto object = ProcessHandles().Get(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  auto file = std::dynamic_pointer_cast<DriveFileHandle>(object);
  if (!file) SetLastError(ERROR_INVALID_FUNCTION);
  return file;
}

// A drive path for the calls that take one; false with the error set.
bool DrivePathOf(LPCWSTR fileName, Win32Path* path) {
  if (!fileName) return Fail(ERROR_INVALID_PARAMETER);
  *path = ParseWin32Path(fileName);
  if (path->kind == PathKind::kInvalid) return Fail(path->error);
  if (path->kind != PathKind::kDriveFile) return Fail(ERROR_INVALID_NAME);
  return true;
}

// An open for the calls that act on a path and let the object go again.
struct PathOpen {
  ACCESS_MASK access;
  ULONG disposition;
  ULONG options;
};

// Opens a drive path with `how`; null with the Win32 error set.
std::shared_ptr<DriveFileHandle> OpenPath(const Win32Path& path, const PathOpen& how, ULONG* information = nullptr) {
  Transport* transport = CurrentTransport();
  if (!transport) {
    SetLastError(ERROR_NOT_READY);
    return nullptr;
  }
  ObjectOpen open;
  open.objectName = DriveObjectName(path.letter, path.relative);
  open.desiredAccess = how.access | SYNCHRONIZE;
  open.shareAccess = kShareAll;
  open.disposition = how.disposition;
  open.options = how.options | kSynchronousIoNonalert;
  open.fileAttributes = FILE_ATTRIBUTE_NORMAL;
  TransportObject object;
  ULONG created = 0;
  NTSTATUS status = transport->CreateFileObject(open, &object, &created);
  if (!NT_SUCCESS(status)) {
    SetLastError(DriveOpenError(*transport, path.letter, status));
    return nullptr;
  }
  if (information) *information = created;
  return std::make_shared<DriveFileHandle>(transport, object);
}

NTSTATUS QueryRecord(const DriveFileHandle& file, ULONG informationClass, void* record, ULONG size) {
  ULONG returned = 0;
  NTSTATUS status = file.transport()->QueryFileInformation(file.object(), informationClass, record, size, &returned);
  if (NT_SUCCESS(status) && returned < size) return STATUS_INFO_LENGTH_MISMATCH;
  return status;
}

NTSTATUS QueryPosition(const DriveFileHandle& file, LONGLONG* position) {
  LARGE_INTEGER record{};
  NTSTATUS status = QueryRecord(file, kFilePositionInformation, &record, sizeof record);
  *position = record.QuadPart;
  return status;
}

NTSTATUS QuerySize(const DriveFileHandle& file, LONGLONG* size) {
  StandardInformation standard{};
  NTSTATUS status = QueryRecord(file, kFileStandardInformation, &standard, sizeof standard);
  *size = standard.endOfFile.QuadPart;
  return status;
}

BOOL Finish(NTSTATUS status) {
  if (NT_ERROR(status)) return Fail(Win32ErrorFromNtStatus(status));
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

// The offset of a read or write: the OVERLAPPED's for a synchronous handle, else the
// file pointer.
LONGLONG OffsetOf(const OVERLAPPED* overlapped) {
  if (!overlapped) return Transport::kAtFilePointer;
  return static_cast<LONGLONG>((static_cast<ULONGLONG>(overlapped->OffsetHigh) << 32) | overlapped->Offset);
}

void Completed(OVERLAPPED* overlapped, NTSTATUS status, ULONG transferred) {
  if (!overlapped) return;
  overlapped->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(status));
  overlapped->InternalHigh = transferred;
}

// Deletes a file (directory false) or an empty folder (directory true).
BOOL DeletePath(LPCWSTR name, bool directory) {
  Win32Path path;
  if (!DrivePathOf(name, &path)) return FALSE;
  ULONG options = kOpenForBackupIntent | kOpenReparsePoint | (directory ? kDirectoryFile : kNonDirectoryFile);
  auto file = OpenPath(path, {DELETE | FILE_READ_ATTRIBUTES, kFileOpen, options});
  if (!file) return FALSE;
  BOOLEAN deleteFile = TRUE;
  return Finish(file->transport()->SetFileInformation(file->object(), kFileDispositionInformation, &deleteFile,
                                                      sizeof deleteFile));
}

}  // namespace

DWORD DriveOpenError(Transport& transport, WCHAR letter, NTSTATUS status) {
  if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
    // The machine's names are flat: a drive that does not exist leaves the whole name
    // unfound, where Win32 reports the path.
    std::u16string target;
    std::u16string link = u"\\DosDevices\\";
    link += letter;
    link += u':';
    if (transport.QuerySymbolicLink(link, &target) == STATUS_OBJECT_NAME_NOT_FOUND) return ERROR_PATH_NOT_FOUND;
  }
  return Win32ErrorFromNtStatus(status);
}

std::shared_ptr<DriveFileHandle> OpenDriveFile(WCHAR letter, std::u16string_view relative, DWORD desiredAccess,
                                               DWORD shareMode, DWORD creationDisposition, DWORD flagsAndAttributes,
                                               DWORD* error) {
  // Truncating is writing.
  if (creationDisposition == TRUNCATE_EXISTING && !(desiredAccess & kWriteAccess)) {
    *error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  ObjectOpen open;
  if (!TranslateDeviceOpen(DriveObjectName(letter, relative), desiredAccess, shareMode, creationDisposition,
                           flagsAndAttributes, &open)) {
    *error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  Transport* transport = CurrentTransport();
  if (!transport) {
    *error = ERROR_NOT_READY;
    return nullptr;
  }
  TransportObject object;
  ULONG information = 0;
  NTSTATUS status = transport->CreateFileObject(open, &object, &information);
  if (!NT_SUCCESS(status)) {
    // A file's create that finds the name taken is "file exists" (a folder's is "already exists").
    *error = status == STATUS_OBJECT_NAME_COLLISION ? ERROR_FILE_EXISTS : DriveOpenError(*transport, letter, status);
    return nullptr;
  }
  bool existed = information == kFileOpened || information == kFileOverwritten || information == kFileSuperseded;
  *error = (creationDisposition == OPEN_ALWAYS || creationDisposition == CREATE_ALWAYS) && existed
               ? ERROR_ALREADY_EXISTS
               : ERROR_SUCCESS;
  return std::make_shared<DriveFileHandle>(transport, object);
}

}  // namespace nb::win

using nb::win::DriveFileHandle;
using nb::win::Fail;
using nb::win::FileOf;
using nb::win::Transport;

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED overlapped) {
  if (bytesRead) *bytesRead = 0;
  auto file = FileOf(handle);
  if (!file) return FALSE;
  if ((!buffer && bytesToRead) || (!bytesRead && !overlapped)) return Fail(ERROR_INVALID_PARAMETER);
  ULONG transferred = 0;
  NTSTATUS status =
      file->transport()->ReadFileData(file->object(), nb::win::OffsetOf(overlapped), buffer, bytesToRead, &transferred);
  nb::win::Completed(overlapped, status, transferred);
  if (bytesRead) *bytesRead = transferred;
  // At the end of the file a synchronous read succeeds with nothing read; a read at an
  // offset past the end reports it.
  if (status == STATUS_END_OF_FILE && !overlapped) status = STATUS_SUCCESS;
  return nb::win::Finish(status);
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten, LPOVERLAPPED overlapped) {
  if (bytesWritten) *bytesWritten = 0;
  auto file = FileOf(handle);
  if (!file) return FALSE;
  if ((!buffer && bytesToWrite) || (!bytesWritten && !overlapped)) return Fail(ERROR_INVALID_PARAMETER);
  ULONG transferred = 0;
  NTSTATUS status = file->transport()->WriteFileData(file->object(), nb::win::OffsetOf(overlapped), buffer,
                                                     bytesToWrite, &transferred);
  nb::win::Completed(overlapped, status, transferred);
  if (bytesWritten) *bytesWritten = transferred;
  return nb::win::Finish(status);
}

BOOL SetFilePointerEx(HANDLE handle, LARGE_INTEGER distanceToMove, PLARGE_INTEGER newFilePointer, DWORD moveMethod) {
  auto file = FileOf(handle);
  if (!file) return FALSE;
  LONGLONG base = 0;
  NTSTATUS status = STATUS_SUCCESS;
  switch (moveMethod) {
    case FILE_BEGIN:
      break;
    case FILE_CURRENT:
      status = nb::win::QueryPosition(*file, &base);
      break;
    case FILE_END:
      status = nb::win::QuerySize(*file, &base);
      break;
    default:
      return Fail(ERROR_INVALID_PARAMETER);
  }
  if (!NT_SUCCESS(status)) return Fail(nb::win::Win32ErrorFromNtStatus(status));
  LONGLONG position;
  if (__builtin_add_overflow(base, distanceToMove.QuadPart, &position)) return Fail(ERROR_INVALID_PARAMETER);
  if (position < 0) return Fail(ERROR_NEGATIVE_SEEK);
  LARGE_INTEGER record;
  record.QuadPart = position;
  status = file->transport()->SetFileInformation(file->object(), nb::win::kFilePositionInformation, &record,
                                                  sizeof record);
  if (!NT_SUCCESS(status)) return Fail(nb::win::Win32ErrorFromNtStatus(status));
  if (newFilePointer) newFilePointer->QuadPart = position;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

DWORD SetFilePointer(HANDLE handle, LONG distanceToMove, PLONG distanceToMoveHigh, DWORD moveMethod) {
  LARGE_INTEGER distance;
  // Without the high part the distance is a signed 32-bit value.
  distance.QuadPart = distanceToMoveHigh
                          ? static_cast<LONGLONG>((static_cast<ULONGLONG>(static_cast<ULONG>(*distanceToMoveHigh)) << 32) |
                                                  static_cast<ULONG>(distanceToMove))
                          : distanceToMove;
  if (!distanceToMoveHigh) {
    // A position that a 32-bit result cannot carry is refused before it is set.
    auto file = FileOf(handle);
    if (!file) return INVALID_SET_FILE_POINTER;
    LONGLONG base = 0;
    NTSTATUS status = STATUS_SUCCESS;
    if (moveMethod == FILE_CURRENT) status = nb::win::QueryPosition(*file, &base);
    if (moveMethod == FILE_END) status = nb::win::QuerySize(*file, &base);
    if (!NT_SUCCESS(status)) {
      SetLastError(nb::win::Win32ErrorFromNtStatus(status));
      return INVALID_SET_FILE_POINTER;
    }
    if (base + distance.QuadPart > static_cast<LONGLONG>(std::numeric_limits<DWORD>::max())) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_SET_FILE_POINTER;
    }
  }
  LARGE_INTEGER position;
  if (!SetFilePointerEx(handle, distance, &position, moveMethod)) return INVALID_SET_FILE_POINTER;
  if (distanceToMoveHigh) *distanceToMoveHigh = static_cast<LONG>(position.QuadPart >> 32);
  return static_cast<DWORD>(position.QuadPart);
}

BOOL GetFileSizeEx(HANDLE handle, PLARGE_INTEGER fileSize) {
  auto file = FileOf(handle);
  if (!file) return FALSE;
  if (!fileSize) return Fail(ERROR_INVALID_PARAMETER);
  LONGLONG size;
  NTSTATUS status = nb::win::QuerySize(*file, &size);
  if (!NT_SUCCESS(status)) return Fail(nb::win::Win32ErrorFromNtStatus(status));
  fileSize->QuadPart = size;
  return TRUE;
}

DWORD GetFileSize(HANDLE handle, LPDWORD fileSizeHigh) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(handle, &size)) return INVALID_FILE_SIZE;
  if (fileSizeHigh) *fileSizeHigh = static_cast<DWORD>(size.QuadPart >> 32);
  SetLastError(ERROR_SUCCESS);  // a size whose low part is INVALID_FILE_SIZE is no failure
  return static_cast<DWORD>(size.QuadPart);
}

BOOL SetEndOfFile(HANDLE handle) {
  auto file = FileOf(handle);
  if (!file) return FALSE;
  LONGLONG position;
  NTSTATUS status = nb::win::QueryPosition(*file, &position);
  if (!NT_SUCCESS(status)) return Fail(nb::win::Win32ErrorFromNtStatus(status));
  LARGE_INTEGER endOfFile;
  endOfFile.QuadPart = position;
  return nb::win::Finish(file->transport()->SetFileInformation(file->object(), nb::win::kFileEndOfFileInformation,
                                                               &endOfFile, sizeof endOfFile));
}

DWORD GetFileAttributesW(LPCWSTR fileName) {
  nb::win::Win32Path path;
  if (!nb::win::DrivePathOf(fileName, &path)) return INVALID_FILE_ATTRIBUTES;
  auto file = nb::win::OpenPath(path, {FILE_READ_ATTRIBUTES, nb::win::kFileOpen, nb::win::kOpenForBackupIntent});
  if (!file) return INVALID_FILE_ATTRIBUTES;
  nb::win::BasicInformation basic{};
  NTSTATUS status = nb::win::QueryRecord(*file, nb::win::kFileBasicInformation, &basic, sizeof basic);
  if (!NT_SUCCESS(status)) {
    SetLastError(nb::win::Win32ErrorFromNtStatus(status));
    return INVALID_FILE_ATTRIBUTES;
  }
  return nb::win::Win32AttributesOf(basic.fileAttributes);
}

BOOL DeleteFileW(LPCWSTR fileName) { return nb::win::DeletePath(fileName, false); }

BOOL RemoveDirectoryW(LPCWSTR pathName) { return nb::win::DeletePath(pathName, true); }

BOOL CreateDirectoryW(LPCWSTR pathName, LPSECURITY_ATTRIBUTES) {
  nb::win::Win32Path path;
  if (!nb::win::DrivePathOf(pathName, &path)) return FALSE;
  auto folder = nb::win::OpenPath(path, {FILE_LIST_DIRECTORY, nb::win::kFileCreate,
                                         nb::win::kDirectoryFile | nb::win::kOpenForBackupIntent});
  if (!folder) return FALSE;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL MoveFileW(LPCWSTR existingFileName, LPCWSTR newFileName) {
  nb::win::Win32Path from;
  nb::win::Win32Path to;
  if (!nb::win::DrivePathOf(existingFileName, &from) || !nb::win::DrivePathOf(newFileName, &to)) return FALSE;
  if (from.letter != to.letter) return Fail(ERROR_NOT_SAME_DEVICE);
  if (to.relative.empty()) return Fail(ERROR_ACCESS_DENIED);  // nothing becomes the root
  auto file = nb::win::OpenPath(from, {DELETE | FILE_READ_ATTRIBUTES, nb::win::kFileOpen,
                                       nb::win::kOpenForBackupIntent | nb::win::kOpenReparsePoint});
  if (!file) return FALSE;
  return nb::win::Finish(
      file->transport()->RenameFileObject(file->object(), nb::win::VolumePathOf(to.relative), false));
}
