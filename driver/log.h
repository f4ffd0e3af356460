// The driver's in-memory message log: fixed-size text records that a client starts,
// reads oldest first and stops. Nothing is written while the log is stopped.
#pragma once

#include <ntifs.h>

#include "nbfsctl.h"

enum NbfsLogLevel : ULONG {
  LOG_NOTICE = 1,
  LOG_WARN = 2,
  LOG_ERROR = 4,
  LOG_PANIC = 8,
};

// The most records LOG_START accepts; a larger count would let a client exhaust the pool.
inline constexpr ULONG NBFS_LOG_MAX_RECORDS = 65536;

// Sets up the log lock and list, stopped.
[[nodiscard]] NTSTATUS LogInitialize();
// Frees every record and the lock.
void LogShutdown();

void nbfsLog(ULONG level, const char* format, ...);

[[nodiscard]] NTSTATUS LogStart(ULONG count);
void LogStop();
void LogCounts(ULONG* total, ULONG* used);
[[nodiscard]] NTSTATUS LogCheck(ULONG* records, ULONG* used);
[[nodiscard]] NTSTATUS LogRead(NBFS_LOG_RECORD* record);
