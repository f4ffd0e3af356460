// What the handles of libnbwin stand for: kernel objects opened through a transport,
// files and folders of drives (file objects of the machine), directory listings and the
// host folders of whole volumes.
#pragma once

#include <unistd.h>

#include <memory>
#include <string_view>

#include "nb/win/handle_table.h"
#include "nb/win/transport.h"

namespace nb::win {

// An object opened through a transport; closed through it with the last reference.
class TransportHandle : public HandleObject {
 public:
  TransportHandle(Transport* transport, TransportObject object) : transport_(transport), object_(object) {}
  ~TransportHandle() override { transport_->CloseObject(object_); }
  TransportHandle(const TransportHandle&) = delete;
  TransportHandle& operator=(const TransportHandle&) = delete;

  Transport* transport() const { return transport_; }
  TransportObject object() const { return object_; }
  bool Uses(const Transport* transport) const override { return transport == transport_; }

 private:
  Transport* transport_;
  TransportObject object_;
};

// A registry key (HKEY): only the registry calls take it.
class RegistryKeyHandle final : public TransportHandle {
 public:
  using TransportHandle::TransportHandle;
};

// A file or folder of a drive: a file object of the machine, which the Win32 file calls
// read, write, query and set through the transport.
class DriveFileHandle final : public TransportHandle {
 public:
  using TransportHandle::TransportHandle;
};

// A whole volume ("\\.\X:"), reached through its drive's host folder: only
// FlushFileBuffers takes it.
class HostVolumeHandle final : public HandleObject {
 public:
  HostVolumeHandle(int fd, bool writable) : fd_(fd), writable_(writable) {}
  ~HostVolumeHandle() override { ::close(fd_); }
  HostVolumeHandle(const HostVolumeHandle&) = delete;
  HostVolumeHandle& operator=(const HostVolumeHandle&) = delete;

  int fd() const { return fd_; }
  bool writable() const { return writable_; }

 private:
  int fd_;
  bool writable_;
};

// Opens the whole volume of drive `letter` in the drive's host folder. Null with a Win32
// error in `*error` on failure.
std::shared_ptr<HostVolumeHandle> OpenVolumeOfDrive(WCHAR letter, DWORD desiredAccess, DWORD* error);

// The Win32 error of a failed open of a drive path: a drive that does not exist is a
// path not found.
DWORD DriveOpenError(Transport& transport, WCHAR letter, NTSTATUS status);

// Opens a file or folder of a drive with CreateFileW's arguments. Null with a Win32
// error in `*error` on failure; on success `*error` is 0 or ERROR_ALREADY_EXISTS (an
// existing file was opened or replaced by CREATE_ALWAYS or OPEN_ALWAYS).
std::shared_ptr<DriveFileHandle> OpenDriveFile(WCHAR letter, std::u16string_view relative, DWORD desiredAccess,
                                               DWORD shareMode, DWORD creationDisposition, DWORD flagsAndAttributes,
                                               DWORD* error);

// Translates CreateFileW's arguments for a device into an object open; false when the
// disposition is not one of CreateFileW's.
bool TranslateDeviceOpen(std::u16string objectName, DWORD desiredAccess, DWORD shareMode,
                         DWORD creationDisposition, DWORD flagsAndAttributes, ObjectOpen* open);

}  // namespace nb::win
