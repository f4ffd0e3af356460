// CreateFileW's arguments as an IRP_MJ_CREATE of a kernel object.
#include <windows.h>

#include "nb/file_access.h"
#include "objects.h"

namespace nb::win {

namespace {

// NT dispositions and create options (the values of IRP_MJ_CREATE's Options).
constexpr ULONG kFileOpen = 1;
constexpr ULONG kFileCreate = 2;
constexpr ULONG kFileOpenIf = 3;
constexpr ULONG kFileOverwrite = 4;
constexpr ULONG kFileOverwriteIf = 5;
constexpr ULONG kWriteThrough = 0x00000002;
constexpr ULONG kSequentialOnly = 0x00000004;
constexpr ULONG kNoIntermediateBuffering = 0x00000008;
constexpr ULONG kSynchronousIoNonalert = 0x00000020;
constexpr ULONG kNonDirectoryFile = 0x00000040;
constexpr ULONG kRandomAccess = 0x00000800;
constexpr ULONG kDeleteOnClose = 0x00001000;
constexpr ULONG kOpenForBackupIntent = 0x00004000;

constexpr DWORD kValidAttributes = 0x00007FA7;

}  // namespace

bool TranslateDeviceOpen(std::u16string objectName, DWORD desiredAccess, DWORD shareMode,
                         DWORD creationDisposition, DWORD flagsAndAttributes, ObjectOpen* open) {
  switch (creationDisposition) {
    case CREATE_NEW:
      open->disposition = kFileCreate;
      break;
    case CREATE_ALWAYS:
      open->disposition = kFileOverwriteIf;
      break;
    case OPEN_EXISTING:
      open->disposition = kFileOpen;
      break;
    case OPEN_ALWAYS:
      open->disposition = kFileOpenIf;
      break;
    case TRUNCATE_EXISTING:
      open->disposition = kFileOverwrite;
      break;
    default:
      return false;
  }
  open->objectName = std::move(objectName);
  // CreateFileW always asks for SYNCHRONIZE and FILE_READ_ATTRIBUTES as well.
  open->desiredAccess = MapGenericFileAccess(desiredAccess) | SYNCHRONIZE | FILE_READ_ATTRIBUTES;
  open->shareAccess = shareMode & (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  open->fileAttributes = flagsAndAttributes & kValidAttributes;
  ULONG options = 0;
  if (!(flagsAndAttributes & FILE_FLAG_OVERLAPPED)) options |= kSynchronousIoNonalert;
  if (flagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) {
    options |= kOpenForBackupIntent;
  } else {
    options |= kNonDirectoryFile;
  }
  if (flagsAndAttributes & FILE_FLAG_WRITE_THROUGH) options |= kWriteThrough;
  if (flagsAndAttributes & FILE_FLAG_NO_BUFFERING) options |= kNoIntermediateBuffering;
  if (flagsAndAttributes & FILE_FLAG_SEQUENTIAL_SCAN) options |= kSequentialOnly;
  if (flagsAndAttributes & FILE_FLAG_RANDOM_ACCESS) options |= kRandomAccess;
  if (flagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) {
    options |= kDeleteOnClose;
    open->desiredAccess |= DELETE;
  }
  open->options = options;
  return true;
}

}  // namespace nb::win
