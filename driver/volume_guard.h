// Rundown protection of a filter device's VolumeRecord for the length of a dispatch
// routine, so that tear-down waits for the requests inside the filter before it frees
// what the record holds.
#pragma once

#include <ntifs.h>

#include "table.h"

class VolumeGuard {
 public:
  // Protects the record of a filter device. IRP_MJ_PNP is never protected: a removal
  // passed down tears this very filter down before it returns.
  VolumeGuard(PDEVICE_OBJECT device, PIRP irp);
  ~VolumeGuard();
  VolumeGuard(const VolumeGuard&) = delete;
  VolumeGuard& operator=(const VolumeGuard&) = delete;

  // False when the record is being torn down (or for IRP_MJ_PNP): the routine must not
  // look at the record and ends with Decline.
  explicit operator bool() const { return held_; }
  // A request that meets a filter being torn down is not checked against locks that are
  // going away: cleanup, close and PnP requests still reach the device below while the
  // filter is attached to it (they grant no access, and the file system must see them);
  // every other request fails with STATUS_NO_SUCH_DEVICE.
  NTSTATUS Decline(PIRP irp);

 private:
  PDEVICE_OBJECT device_;
  VolumeRecord* volume_;
  bool held_;
};
