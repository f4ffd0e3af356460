// The I/O manager's originator side for requests on open files: read, write, query and
// set information, directory queries, security and file-system control, as the system
// services behind NtReadFile, NtQueryDirectoryFile, NtFsControlFile ... send them.
// Each builds one request to the top of the file's device stack and waits for it.
#pragma once

#include <optional>
#include <string_view>

#include <ntifs.h>

#include "nb/file_access.h"

namespace nb::kernel {

// A byte offset that means "at the file object's current position".
inline constexpr LONGLONG kCurrentPosition = -2;
// A write offset that means "at the end of the file".
inline constexpr LONGLONG kEndOfFile = -1;

// Maps the generic rights of a desired access to the specific file rights, as the
// object manager does before a create reaches a file system.
using nb::MapGenericFileAccess;

// Reads into `buffer` (the request's UserBuffer); `transferred` gets the byte count.
// Reads and writes of a synchronous file the file system caches (PrivateCacheMap set)
// try the fast I/O routine at the top of the stack first.
[[nodiscard]] NTSTATUS ReadFile(PFILE_OBJECT file, void* buffer, ULONG length, LONGLONG offset,
                                ULONG* transferred = nullptr);
[[nodiscard]] NTSTATUS WriteFile(PFILE_OBJECT file, const void* buffer, ULONG length, LONGLONG offset,
                                 ULONG* transferred = nullptr);

// Query and set information go through a system buffer, copied back unless the request failed.
[[nodiscard]] NTSTATUS QueryInformation(PFILE_OBJECT file, FILE_INFORMATION_CLASS informationClass, void* buffer,
                                        ULONG length, ULONG* returned = nullptr);
// `target` is the directory a rename or link goes into (Parameters.SetFile.FileObject).
[[nodiscard]] NTSTATUS SetInformation(PFILE_OBJECT file, FILE_INFORMATION_CLASS informationClass,
                                      const void* buffer, ULONG length, PFILE_OBJECT target = nullptr);

struct DirectoryQuery {
  FILE_INFORMATION_CLASS informationClass = FileDirectoryInformation;
  std::optional<std::u16string_view> pattern;  // the request's FileName
  UCHAR flags = 0;                             // SL_RESTART_SCAN, SL_RETURN_SINGLE_ENTRY, SL_INDEX_SPECIFIED
  ULONG fileIndex = 0;                         // with SL_INDEX_SPECIFIED
};
// IRP_MN_QUERY_DIRECTORY into `buffer` (the request's UserBuffer).
[[nodiscard]] NTSTATUS QueryDirectory(PFILE_OBJECT file, const DirectoryQuery& query, void* buffer, ULONG length,
                                      ULONG* returned = nullptr);

[[nodiscard]] NTSTATUS QuerySecurity(PFILE_OBJECT file, SECURITY_INFORMATION information, void* buffer,
                                     ULONG length, ULONG* returned = nullptr);
[[nodiscard]] NTSTATUS SetSecurity(PFILE_OBJECT file, SECURITY_INFORMATION information,
                                   PSECURITY_DESCRIPTOR descriptor);

[[nodiscard]] NTSTATUS FlushFile(PFILE_OBJECT file);

// NtQueryVolumeInformationFile: FileFsDeviceInformation is answered from the device the
// file was opened on; every other class goes to the file system through a system buffer.
[[nodiscard]] NTSTATUS QueryVolumeInformation(PFILE_OBJECT file, FS_INFORMATION_CLASS informationClass, void* buffer,
                                              ULONG length, ULONG* returned = nullptr);

// IRP_MN_USER_FS_REQUEST, METHOD_BUFFERED.
[[nodiscard]] NTSTATUS FileSystemControl(PFILE_OBJECT file, ULONG code, const void* input, ULONG inputLength,
                                         void* output, ULONG outputLength, ULONG* returned = nullptr);
// IRP_MN_MOUNT_VOLUME of `storage` (whose Vpb names the volume) to the top of the stack
// of a file system's control device.
[[nodiscard]] NTSTATUS MountVolume(PDEVICE_OBJECT fileSystem, PDEVICE_OBJECT storage);

}  // namespace nb::kernel
