// GetLogicalDrives, GetDriveTypeW, GetVolumeInformationW and QueryDosDeviceW: questions
// about drives answered by the machine's object names and by the volumes behind them.
#include <cstring>

#include <windows.h>

#include "nb/win/errors.h"
#include "nb/win/transport.h"
#include "nb/win/volume_names.h"
#include "nt/volinfo.h"

namespace nb::win {

namespace {

// IRP_MJ_CREATE values and volume information classes, as the machine reads them.
constexpr ULONG kFileOpen = 1;
constexpr ULONG kDirectoryFile = 0x00000001;
constexpr ULONG kSynchronousIoNonalert = 0x00000020;
constexpr ULONG kFsVolumeInformation = 1;
constexpr ULONG kFsDeviceInformation = 4;
constexpr ULONG kFsAttributeInformation = 5;
constexpr ACCESS_MASK kSynchronize = 0x00100000;

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

std::u16string DosDevice(WCHAR letter, bool root) {
  return u"\\DosDevices\\" + std::u16string(1, letter) + (root ? u":\\" : u":");
}

// An object opened through the transport, closed at the end of the scope.
class OpenedObject {
 public:
  OpenedObject(Transport* transport, const std::u16string& name, ULONG options) : transport_(transport) {
    ObjectOpen open;
    open.objectName = name;
    open.desiredAccess = kSynchronize | FILE_READ_ATTRIBUTES;
    open.shareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE;
    open.disposition = kFileOpen;
    open.options = options | kSynchronousIoNonalert;
    status_ = transport_->OpenObject(open, &object_);
  }
  ~OpenedObject() {
    if (NT_SUCCESS(status_)) transport_->CloseObject(object_);
  }
  OpenedObject(const OpenedObject&) = delete;
  OpenedObject& operator=(const OpenedObject&) = delete;

  NTSTATUS status() const { return status_; }
  NTSTATUS Query(ULONG informationClass, void* buffer, ULONG length) {
    ULONG returned;
    return transport_->QueryVolumeInformation(object_, informationClass, buffer, length, &returned);
  }

 private:
  Transport* transport_;
  TransportObject object_ = 0;
  NTSTATUS status_;
};

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// Copies a counted name into a caller's buffer of `size` characters with its NUL.
bool CopyName(const WCHAR* name, ULONG bytes, LPWSTR buffer, DWORD size) {
  size_t units = bytes / sizeof(WCHAR);
  if (!buffer) return true;
  if (units + 1 > size) return false;
  std::memcpy(buffer, name, units * sizeof(WCHAR));
  buffer[units] = 0;
  return true;
}

}  // namespace

WCHAR RootLetterOf(std::u16string_view path, bool backslashRequired) {
  if (path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) && (path[2] == u'.' || path[2] == u'?') &&
      IsSeparator(path[3])) {
    path.remove_prefix(4);
  }
  if (path.size() < 2 || path[1] != u':') return 0;
  WCHAR letter = path[0];
  if (letter >= u'a' && letter <= u'z') letter = static_cast<WCHAR>(letter - u'a' + u'A');
  if (letter < u'A' || letter > u'Z') return 0;
  std::u16string_view rest = path.substr(2);
  if (rest.empty()) return backslashRequired ? 0 : letter;
  return rest.size() == 1 && IsSeparator(rest[0]) ? letter : 0;
}

DWORD DriveMaskOf(const std::vector<std::u16string>& dosDeviceNames) {
  DWORD mask = 0;
  for (const std::u16string& name : dosDeviceNames) {
    if (name.size() != 2 || name[1] != u':') continue;
    WCHAR letter = name[0];
    if (letter >= u'a' && letter <= u'z') letter = static_cast<WCHAR>(letter - u'a' + u'A');
    if (letter >= u'A' && letter <= u'Z') mask |= 1u << (letter - u'A');
  }
  return mask;
}

UINT DriveTypeOf(ULONG deviceType, ULONG characteristics) {
  if (deviceType == FILE_DEVICE_CD_ROM || deviceType == FILE_DEVICE_CD_ROM_FILE_SYSTEM) return DRIVE_CDROM;
  if (deviceType == FILE_DEVICE_NETWORK_FILE_SYSTEM || (characteristics & FILE_REMOTE_DEVICE)) return DRIVE_REMOTE;
  if (deviceType != FILE_DEVICE_DISK && deviceType != FILE_DEVICE_DISK_FILE_SYSTEM) return DRIVE_UNKNOWN;
  return (characteristics & FILE_REMOVABLE_MEDIA) ? DRIVE_REMOVABLE : DRIVE_FIXED;
}

size_t MultiStringLength(const std::vector<std::u16string>& names) {
  size_t length = 1;
  for (const std::u16string& name : names) length += name.size() + 1;
  return length;
}

}  // namespace nb::win

using nb::win::CurrentTransport;
using nb::win::Win32ErrorFromNtStatus;

DWORD GetLogicalDrives() {
  nb::win::Transport* transport = CurrentTransport();
  if (!transport) {
    SetLastError(ERROR_NOT_READY);
    return 0;
  }
  std::vector<std::u16string> names;
  NTSTATUS status = transport->ListDirectory(u"\\DosDevices", &names);
  if (!NT_SUCCESS(status)) {
    SetLastError(Win32ErrorFromNtStatus(status));
    return 0;
  }
  DWORD mask = nb::win::DriveMaskOf(names);
  if (mask == 0) SetLastError(ERROR_SUCCESS);
  return mask;
}

UINT GetDriveTypeW(LPCWSTR rootPathName) {
  WCHAR letter = rootPathName ? nb::win::RootLetterOf(rootPathName, false) : 0;
  nb::win::Transport* transport = CurrentTransport();
  if (!letter || !transport) return DRIVE_NO_ROOT_DIR;
  // The volume itself is opened: a drive whose medium no file system mounted still has a type.
  nb::win::OpenedObject volume(transport, nb::win::DosDevice(letter, false), 0);
  if (!NT_SUCCESS(volume.status())) {
    std::u16string target;
    return NT_SUCCESS(transport->QuerySymbolicLink(nb::win::DosDevice(letter, false), &target)) ? DRIVE_UNKNOWN
                                                                                               : DRIVE_NO_ROOT_DIR;
  }
  FILE_FS_DEVICE_INFORMATION device{};
  if (!NT_SUCCESS(volume.Query(nb::win::kFsDeviceInformation, &device, sizeof device))) return DRIVE_UNKNOWN;
  return nb::win::DriveTypeOf(device.DeviceType, device.Characteristics);
}

BOOL GetVolumeInformationW(LPCWSTR rootPathName, LPWSTR volumeNameBuffer, DWORD volumeNameSize,
                           LPDWORD volumeSerialNumber, LPDWORD maximumComponentLength, LPDWORD fileSystemFlags,
                           LPWSTR fileSystemNameBuffer, DWORD fileSystemNameSize) {
  using namespace nb::win;
  if (!rootPathName) return Fail(ERROR_INVALID_PARAMETER);
  WCHAR letter = RootLetterOf(rootPathName, true);
  if (!letter) return Fail(ERROR_INVALID_NAME);
  Transport* transport = CurrentTransport();
  if (!transport) return Fail(ERROR_NOT_READY);
  OpenedObject root(transport, DosDevice(letter, true), kDirectoryFile);
  if (!NT_SUCCESS(root.status())) return Fail(Win32ErrorFromNtStatus(root.status()));

  // Room for the fixed parts and names of up to MAX_PATH characters.
  alignas(8) UCHAR volumeBuffer[offsetof(FILE_FS_VOLUME_INFORMATION, VolumeLabel) + 520]{};
  alignas(8) UCHAR attributeBuffer[offsetof(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName) + 520]{};
  NTSTATUS status = root.Query(kFsVolumeInformation, volumeBuffer, sizeof volumeBuffer);
  if (NT_SUCCESS(status)) status = root.Query(kFsAttributeInformation, attributeBuffer, sizeof attributeBuffer);
  if (!NT_SUCCESS(status)) return Fail(Win32ErrorFromNtStatus(status));
  FILE_FS_VOLUME_INFORMATION volume;
  std::memcpy(&volume, volumeBuffer, sizeof volume);
  FILE_FS_ATTRIBUTE_INFORMATION attributes;
  std::memcpy(&attributes, attributeBuffer, sizeof attributes);

  ULONG labelBytes = volume.VolumeLabelLength < 520 ? volume.VolumeLabelLength : 520;
  ULONG nameBytes = attributes.FileSystemNameLength < 520 ? attributes.FileSystemNameLength : 520;
  WCHAR label[260];
  WCHAR fileSystemName[260];
  std::memcpy(label, volumeBuffer + offsetof(FILE_FS_VOLUME_INFORMATION, VolumeLabel), labelBytes);
  std::memcpy(fileSystemName, attributeBuffer + offsetof(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName), nameBytes);
  if (!CopyName(label, labelBytes, volumeNameBuffer, volumeNameSize) ||
      !CopyName(fileSystemName, nameBytes, fileSystemNameBuffer, fileSystemNameSize)) {
    return Fail(ERROR_BAD_LENGTH);
  }
  if (volumeSerialNumber) *volumeSerialNumber = volume.VolumeSerialNumber;
  if (maximumComponentLength) *maximumComponentLength = static_cast<DWORD>(attributes.MaximumComponentNameLength);
  if (fileSystemFlags) *fileSystemFlags = attributes.FileSystemAttributes;
  return TRUE;
}

DWORD QueryDosDeviceW(LPCWSTR deviceName, LPWSTR targetPath, DWORD ucchMax) {
  using namespace nb::win;
  Transport* transport = CurrentTransport();
  if (!transport) {
    SetLastError(ERROR_NOT_READY);
    return 0;
  }
  if (!targetPath && ucchMax) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::vector<std::u16string> names;
  NTSTATUS status;
  if (deviceName) {
    std::u16string target;
    status = transport->QuerySymbolicLink(u"\\DosDevices\\" + std::u16string(deviceName), &target);
    names.push_back(std::move(target));
  } else {
    status = transport->ListDirectory(u"\\DosDevices", &names);
  }
  if (!NT_SUCCESS(status)) {
    SetLastError(Win32ErrorFromNtStatus(status));
    return 0;
  }
  size_t length = MultiStringLength(names);
  if (length > ucchMax) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  WCHAR* at = targetPath;
  for (const std::u16string& name : names) {
    std::memcpy(at, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
    at += name.size() + 1;
  }
  *at = 0;
  return static_cast<DWORD>(length);
}
