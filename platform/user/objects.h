// What the handles of libnbwin stand for: kernel objects opened through a transport and
// host files of a drive's folder.
#pragma once

#include <unistd.h>

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

 private:
  Transport* transport_;
  TransportObject object_;
};

// A registry key (HKEY): only the registry calls take it.
class RegistryKeyHandle final : public TransportHandle {
 public:
  using TransportHandle::TransportHandle;
};

// A file, a folder or a whole volume below a drive's host folder.
class HostFileHandle final : public HandleObject {
 public:
  enum class Kind { kFile, kDirectory, kVolume };

  HostFileHandle(int fd, Kind kind, bool writable) : fd_(fd), kind_(kind), writable_(writable) {}
  ~HostFileHandle() override { ::close(fd_); }
  HostFileHandle(const HostFileHandle&) = delete;
  HostFileHandle& operator=(const HostFileHandle&) = delete;

  int fd() const { return fd_; }
  Kind kind() const { return kind_; }
  bool writable() const { return writable_; }

 private:
  int fd_;
  Kind kind_;
  bool writable_;
};

// Opens a file or folder (`relative` below the drive's root, "/"-separated UTF-8) or,
// with `volume`, the whole drive. Null with a Win32 error in `*error` on failure; on
// success `*error` is 0 or ERROR_ALREADY_EXISTS (an existing file was opened or replaced
// by CREATE_ALWAYS or OPEN_ALWAYS).
std::shared_ptr<HostFileHandle> OpenOnDrive(WCHAR letter, const std::string& relative, bool volume,
                                            DWORD desiredAccess, DWORD creationDisposition,
                                            DWORD flagsAndAttributes, DWORD* error);

// Translates CreateFileW's arguments for a device into an object open; false when the
// disposition is not one of CreateFileW's.
bool TranslateDeviceOpen(std::u16string objectName, DWORD desiredAccess, DWORD shareMode,
                         DWORD creationDisposition, DWORD flagsAndAttributes, ObjectOpen* open);

}  // namespace nb::win
