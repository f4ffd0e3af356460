// The driver's fast I/O table and the tear-down that runs when a device below goes away.
#pragma once

#include <ntifs.h>

// Fills the table: every slot but the two section-acquisition slots.
void FillFastIoDispatch(PFAST_IO_DISPATCH table);

// Called when the device below a filter goes away: frees a volume's records, unlinks
// it, detaches and deletes the filter and announces the change.
VOID nbfsFastIoDetachDevice(PDEVICE_OBJECT sourceDevice, PDEVICE_OBJECT targetDevice);
