// CreateFileW, CloseHandle, FlushFileBuffers and DeviceIoControl.
#include <unistd.h>

#include <cerrno>

#include <windows.h>

#include "nb/win/errors.h"
#include "nb/win/paths.h"
#include "objects.h"

namespace {

using nb::win::DriveFileHandle;
using nb::win::HostVolumeHandle;
using nb::win::ProcessHandles;
using nb::win::TransportHandle;

HANDLE Fail(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

BOOL FailBool(DWORD error) {
  SetLastError(error);
  return FALSE;
}

HANDLE Publish(std::shared_ptr<nb::win::HandleObject> object) {
  HANDLE handle = ProcessHandles().Insert(std::move(object));
  return handle ? handle : Fail(ERROR_TOO_MANY_OPEN_FILES);
}

HANDLE OpenDevice(std::u16string objectName, DWORD desiredAccess, DWORD shareMode, DWORD creationDisposition,
                  DWORD flagsAndAttributes) {
  nb::win::ObjectOpen open;
  if (!nb::win::TranslateDeviceOpen(std::move(objectName), desiredAccess, shareMode, creationDisposition,
                                    flagsAndAttributes, &open)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  nb::win::Transport* transport = nb::win::CurrentTransport();
  if (!transport) return Fail(ERROR_NOT_READY);
  nb::win::TransportObject object;
  NTSTATUS status = transport->OpenObject(open, &object);
  if (!NT_SUCCESS(status)) return Fail(nb::win::Win32ErrorFromNtStatus(status));
  return Publish(std::make_shared<TransportHandle>(transport, object));
}

}  // namespace

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE) {
  if (!fileName) return Fail(ERROR_INVALID_PARAMETER);
  nb::win::Win32Path path = nb::win::ParseWin32Path(fileName);
  switch (path.kind) {
    case nb::win::PathKind::kInvalid:
      return Fail(path.error);
    case nb::win::PathKind::kDevice:
      return OpenDevice(std::move(path.objectName), desiredAccess, shareMode, creationDisposition,
                        flagsAndAttributes);
    case nb::win::PathKind::kVolume: {
      DWORD error;
      auto volume = nb::win::OpenVolumeOfDrive(path.letter, desiredAccess, &error);
      if (!volume) return Fail(error);
      return Publish(std::move(volume));
    }
    case nb::win::PathKind::kDriveFile: {
      DWORD error;
      auto file = nb::win::OpenDriveFile(path.letter, path.relative, desiredAccess, shareMode, creationDisposition,
                                         flagsAndAttributes, &error);
      if (!file) return Fail(error);
      HANDLE handle = Publish(std::move(file));
      if (handle != INVALID_HANDLE_VALUE) SetLastError(error);  // ERROR_ALREADY_EXISTS or 0
      return handle;
    }
  }
  return Fail(ERROR_INVALID_PARAMETER);
}

BOOL CloseHandle(HANDLE object) {
  // The object goes when its last user lets go: a call still running on it keeps it.
  if (!ProcessHandles().Remove(object)) return FailBool(ERROR_INVALID_HANDLE);
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
  auto object = ProcessHandles().Get(file);
  if (!object) return FailBool(ERROR_INVALID_HANDLE);
  if (auto file = std::dynamic_pointer_cast<DriveFileHandle>(object)) {
    NTSTATUS status = file->transport()->FlushFileObject(file->object());
    if (NT_ERROR(status)) return FailBool(nb::win::Win32ErrorFromNtStatus(status));
    return TRUE;
  }
  auto volume = std::dynamic_pointer_cast<HostVolumeHandle>(object);
  if (!volume) return FailBool(ERROR_INVALID_FUNCTION);
  if (!volume->writable()) return FailBool(ERROR_ACCESS_DENIED);
  if (syncfs(volume->fd()) != 0) return FailBool(nb::win::Win32ErrorFromErrno(errno));
  return TRUE;
}

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                     DWORD outBufferSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
  auto object = ProcessHandles().Get(device);
  if (!object) return FailBool(ERROR_INVALID_HANDLE);
  auto kernelObject = std::dynamic_pointer_cast<TransportHandle>(object);
  if (!kernelObject) return FailBool(ERROR_INVALID_FUNCTION);
  if (overlapped) return FailBool(ERROR_NOT_SUPPORTED);  // every handle here is synchronous
  if ((!inBuffer && inBufferSize) || (!outBuffer && outBufferSize)) return FailBool(ERROR_INVALID_PARAMETER);
  ULONG reported = 0;
  NTSTATUS status = kernelObject->transport()->DeviceControl(kernelObject->object(), ioControlCode, inBuffer,
                                                             inBufferSize, outBuffer, outBufferSize, &reported);
  if (NT_SUCCESS(status)) {
    if (bytesReturned) *bytesReturned = reported;
    return TRUE;
  }
  // A warning (STATUS_BUFFER_OVERFLOW) still hands back what the driver wrote.
  if (bytesReturned) *bytesReturned = NT_ERROR(status) ? 0 : reported;
  return FailBool(nb::win::Win32ErrorFromNtStatus(status));
}
