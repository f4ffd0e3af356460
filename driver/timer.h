// The idle time-out timer. The control device's I/O timer ticks once per second; every
// tenth tick the lock table is walked: open timed locks age by ten seconds, and those
// idle for their whole time-out are marked expired (0x80) with a pulse of timer-notify.
//
// The tick runs at DISPATCH_LEVEL, where the table's resources cannot be waited on, so
// it only queues the walk to a system worker thread (an I/O work item); the walk runs
// at PASSIVE_LEVEL and takes the volume-list and volume locks shared like any reader.
// Ticks that fall due while a walk is still queued or running are counted, and the
// worker walks once for each, so no ten seconds are lost or merged.
#pragma once

#include <ntifs.h>

#include "table.h"

inline constexpr ULONG NBFS_TIMER_PERIOD = 10;  // seconds between walks

// Initialises and starts the control device's timer (at load). On failure logs
// "Cannot initialize Timer" and the driver runs without time-outs.
void TimerStart(PDEVICE_OBJECT control);
// Stops the timer and waits for a queued or running walk (driver unload).
void TimerStop();
bool TimerStarted();

// Called by the access checks on every filtered access to a governed path; no lock is
// needed. An open entry (flags 0) restarts its idle time.
void ResetEntryIdle(LockEntry* entry);
// The same for a drive-wide timed lock (savedType set) that is open; the caller holds
// the volume lock, as it does while it resolves the lock.
void ResetDriveIdle(VolumeRecord* volume);

// One walk: every active drive's open timed lock, or else every open entry of a drive
// without a drive-wide lock, ages by `period` seconds; a lock idle for at least its
// time-out becomes expired and timer-notify is pulsed once for it.
void WalkIdleLocks(VolumeTable& table, ULONG period);
