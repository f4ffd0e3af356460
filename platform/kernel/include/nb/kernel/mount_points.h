// The mount manager's query of mount points as plain logic: decoding the query record,
// choosing the points it names and laying out the answer (records of mountmgr.h).
#pragma once

#include <string>
#include <vector>

#include <mountmgr.h>
#include <ntifs.h>

namespace nb::kernel {

// One name of a volume: a drive letter ("\DosDevices\C:") or its volume name
// ("\??\Volume{...}"), with the volume's unique id and device name.
struct MountPoint {
  std::u16string symbolicLink;
  std::vector<UCHAR> uniqueId;
  std::u16string deviceName;
};

// What a query names; empty parts are not given.
struct MountPointQuery {
  std::u16string symbolicLink;
  std::vector<UCHAR> uniqueId;
  std::u16string deviceName;
};

// Reads a MOUNTMGR_MOUNT_POINT and the parts it points at. STATUS_INVALID_PARAMETER when
// the input is shorter than the record, a part lies outside it or a name has an odd length.
[[nodiscard]] NTSTATUS DecodeMountPointQuery(const void* input, ULONG inputLength, MountPointQuery* query);

// A symbolic link given picks that one point; else a unique id or a device name picks
// every point of that volume; a query naming nothing picks all. Names compare without
// case, "\??\" standing for "\DosDevices\".
std::vector<MountPoint> SelectMountPoints(const std::vector<MountPoint>& points, const MountPointQuery& query);

// Lays out MOUNTMGR_MOUNT_POINTS: the header, one record per point, then each point's
// link, unique id and device name (each at an even offset). An output shorter than the
// answer gets Size and NumberOfMountPoints only, with STATUS_BUFFER_OVERFLOW; one shorter
// than MOUNTMGR_MOUNT_POINTS gets nothing, with STATUS_BUFFER_TOO_SMALL. `written` is the
// byte count to report.
[[nodiscard]] NTSTATUS EncodeMountPoints(const std::vector<MountPoint>& points, void* output, ULONG outputLength,
                                         ULONG* written);

}  // namespace nb::kernel
