// Control device protocol of the nbfs filter driver: the request codes and the records
// that cross between the driver and its user-mode clients. Shared by both sides;
// include <ntifs.h> or <windows.h> first.
#pragma once

#include <cstddef>

#define NBFS_DEVICE_NAME u"\\Device\\nbfscntl36"
#define NBFS_LINK_NAME u"\\DosDevices\\nbfscntl36"
#define NBFS_USER_DEVICE_NAME u"\\\\.\\nbfscntl36"

#define NBFS_DEVICE_TYPE 0x66
#define NBFS_CTL_CODE(function) CTL_CODE(NBFS_DEVICE_TYPE, (function), METHOD_BUFFERED, FILE_ANY_ACCESS)

inline constexpr ULONG ADD_SERVICE = NBFS_CTL_CODE(0);
inline constexpr ULONG DEL_SERVICE = NBFS_CTL_CODE(1);
inline constexpr ULONG ADD_ENTRY = NBFS_CTL_CODE(2);
inline constexpr ULONG DEL_ENTRY = NBFS_CTL_CODE(3);
inline constexpr ULONG GET_ENTRY_COUNT = NBFS_CTL_CODE(4);
inline constexpr ULONG GET_ENTRY_INFO = NBFS_CTL_CODE(5);
inline constexpr ULONG GET_DRIVE_INFO = NBFS_CTL_CODE(6);
inline constexpr ULONG GET_ENTRY_INFO_IN_DRIVE = NBFS_CTL_CODE(7);
inline constexpr ULONG GET_ENTRY_COUNT_IN_DRIVE = NBFS_CTL_CODE(8);
inline constexpr ULONG SET_ENTRY = NBFS_CTL_CODE(12);
inline constexpr ULONG PAUSE_ENTRY = NBFS_CTL_CODE(13);
inline constexpr ULONG RESUME_ENTRY = NBFS_CTL_CODE(14);
inline constexpr ULONG START_TIMEOUT_ENTRY = NBFS_CTL_CODE(16);
inline constexpr ULONG GET_CACHE_COUNT = NBFS_CTL_CODE(20);
inline constexpr ULONG GET_VERSION = NBFS_CTL_CODE(21);
inline constexpr ULONG CREATE_EVENT = NBFS_CTL_CODE(22);
inline constexpr ULONG OPEN_EVENT = NBFS_CTL_CODE(23);
inline constexpr ULONG CLOSE_EVENT = NBFS_CTL_CODE(24);
inline constexpr ULONG REGFS = NBFS_CTL_CODE(25);
inline constexpr ULONG ADD_PROC = NBFS_CTL_CODE(30);
inline constexpr ULONG DEL_PROC = NBFS_CTL_CODE(31);
inline constexpr ULONG GET_PROC_COUNT = NBFS_CTL_CODE(32);
inline constexpr ULONG GET_PROC_INFO = NBFS_CTL_CODE(33);
inline constexpr ULONG ADD_GLOBAL_PROC = NBFS_CTL_CODE(35);
inline constexpr ULONG DEL_GLOBAL_PROC = NBFS_CTL_CODE(36);
inline constexpr ULONG GET_GLOBAL_PROC_COUNT = NBFS_CTL_CODE(37);
inline constexpr ULONG GET_GLOBAL_PROC_INFO = NBFS_CTL_CODE(38);
inline constexpr ULONG LOG_START = NBFS_CTL_CODE(100);
inline constexpr ULONG LOG_STOP = NBFS_CTL_CODE(101);
inline constexpr ULONG LOG_COUNTS = NBFS_CTL_CODE(102);
inline constexpr ULONG LOG_CHECK = NBFS_CTL_CODE(103);
inline constexpr ULONG LOG_READ = NBFS_CTL_CODE(104);

// Driver version 3.06.
inline constexpr ULONG NBFS_VERSION = 0x306;

// Lock flags of drives and entries.
inline constexpr ULONG NBFS_LOCK_OPEN = 0;       // a timed lock whose idle time-out runs
inline constexpr ULONG NBFS_LOCK_NOACCESS = 1;   // hidden: nothing opens it
inline constexpr ULONG NBFS_LOCK_READONLY = 4;   // nothing changes it
inline constexpr ULONG NBFS_LOCK_EXPIRED = 0x80; // idle time-out expired

// Trusted-process permissions.
inline constexpr ULONG NBFS_PERMISSION_READ = 1;
inline constexpr ULONG NBFS_PERMISSION_FULL = 2;

inline constexpr size_t NBFS_PATH_UNITS = 512;  // path field: 511 characters and a NUL
inline constexpr size_t NBFS_PROC_NAME_BYTES = 16;
inline constexpr size_t NBFS_LOG_TEXT_BYTES = 576;

// A lock entry, or a drive when the path is empty.
typedef struct _NBFS_ENTRY {
  ULONG timeout;  // idle time-out in seconds; 0 for a permanent lock
  ULONG type;     // lock flags
  UCHAR letter;
  UCHAR padding;
  WCHAR path[NBFS_PATH_UNITS];
  UCHAR padding2[2];
} NBFS_ENTRY, *PNBFS_ENTRY;

// One registered drive.
typedef struct _NBFS_DRIVE {
  ULONG timeout;
  ULONG flags;
  UCHAR letter;
  UCHAR padding[3];
} NBFS_DRIVE, *PNBFS_DRIVE;

// One trusted process; an empty path addresses the drive's own list.
typedef struct _NBFS_PROC {
  UCHAR letter;
  UCHAR padding;
  WCHAR path[NBFS_PATH_UNITS];
  UCHAR padding2[2];
  ULONG permission;
  ULONG pid;
  CHAR name[NBFS_PROC_NAME_BYTES];
} NBFS_PROC, *PNBFS_PROC;

// One line of the driver's message log.
typedef struct _NBFS_LOG_RECORD {
  CHAR text[NBFS_LOG_TEXT_BYTES];
} NBFS_LOG_RECORD, *PNBFS_LOG_RECORD;

static_assert(sizeof(NBFS_ENTRY) == 1036);
static_assert(offsetof(NBFS_ENTRY, timeout) == 0);
static_assert(offsetof(NBFS_ENTRY, type) == 4);
static_assert(offsetof(NBFS_ENTRY, letter) == 8);
static_assert(offsetof(NBFS_ENTRY, padding) == 9);
static_assert(offsetof(NBFS_ENTRY, path) == 10);
static_assert(offsetof(NBFS_ENTRY, padding2) == 1034);
static_assert(sizeof(NBFS_DRIVE) == 12);
static_assert(offsetof(NBFS_DRIVE, timeout) == 0);
static_assert(offsetof(NBFS_DRIVE, flags) == 4);
static_assert(offsetof(NBFS_DRIVE, letter) == 8);
static_assert(sizeof(NBFS_PROC) == 1052);
static_assert(offsetof(NBFS_PROC, letter) == 0);
static_assert(offsetof(NBFS_PROC, path) == 2);
static_assert(offsetof(NBFS_PROC, padding2) == 1026);
static_assert(offsetof(NBFS_PROC, permission) == 1028);
static_assert(offsetof(NBFS_PROC, pid) == 1032);
static_assert(offsetof(NBFS_PROC, name) == 1036);
static_assert(sizeof(NBFS_LOG_RECORD) == 576);
static_assert(ADD_SERVICE == 0x660000 && START_TIMEOUT_ENTRY == 0x660040 && GET_GLOBAL_PROC_INFO == 0x660098);
static_assert(LOG_START == 0x660190 && LOG_READ == 0x6601A0);
