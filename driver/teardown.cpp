// Tear-down of a filter whose device below goes away. It first runs the record down, so
// that lookups and requests still inside the filter leave before anything is freed; the
// device itself goes with the last reference on it (requests in flight hold one).
#include "driver.h"
#include "fastio.h"
#include "log.h"
#include "nb/resource_guard.h"

VOID nbfsFastIoDetachDevice(PDEVICE_OBJECT sourceDevice, PDEVICE_OBJECT targetDevice) {
  nbfsLog(LOG_NOTICE, "WARN FastIoDetach enter, target=0x%x, src=0x%x\n",
          static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(targetDevice)),
          static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(sourceDevice)));
  VolumeRecord* volume = VolumeOf(sourceDevice);
  ExWaitForRundownProtectionRelease(&volume->rundown);
  if (volume->state & VOLUME_STATE_FS_FILTER) {
    nb::ExclusiveLock guard(nbfs->attachLock);
    IoDetachDevice(targetDevice);
    volume->~VolumeRecord();
    IoDeleteDevice(sourceDevice);
    return;
  }
  FreeVolumeContents(volume);
  {
    nb::ExclusiveLock guard(Volumes().lock);
    RemoveEntryList(&volume->link);
    InitializeListHead(&volume->link);
  }
  ExDeleteResourceLite(&volume->lock);
  volume->~VolumeRecord();
  {
    nb::ExclusiveLock guard(nbfs->attachLock);
    IoDetachDevice(targetDevice);
    IoDeleteDevice(sourceDevice);
  }
  // No policy notice: taking a volume's locks away only makes paths answer alike for
  // every caller, and nothing was kept for every caller while a lock governed it.
  PulseDeviceNotify();
}
