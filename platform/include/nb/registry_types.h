// Registry constants and records shared by kernel and user mode: value types, key access
// rights, the predefined roots a request may start from, and the key information record.
#pragma once

#include "nb/basetypes.h"

// Value types.
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_QWORD 11

// Key access rights.
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#define KEY_READ 0x00020019
#define KEY_EXECUTE 0x00020019
#define KEY_WRITE 0x00020006
#define KEY_ALL_ACCESS 0x000F003F
#ifndef MAXIMUM_ALLOWED
#define MAXIMUM_ALLOWED 0x02000000
#endif

// Dispositions of a key create.
#define REG_CREATED_NEW_KEY 0x00000001
#define REG_OPENED_EXISTING_KEY 0x00000002

// Options of a key create (accepted; every key of this hive is kept).
#define REG_OPTION_NON_VOLATILE 0x00000000
#define REG_OPTION_VOLATILE 0x00000001

namespace nb {

// Where a key open starts when it names no open key. kAbsolute takes a full name
// ("\Registry\Machine\SOFTWARE"); the others stand for the Win32 predefined keys.
enum class RegistryRoot : ULONG {
  kAbsolute = 0,
  kClassesRoot = 1,    // \Registry\Machine\SOFTWARE\Classes
  kCurrentUser = 2,    // \Registry\User\<the caller's user>
  kLocalMachine = 3,   // \Registry\Machine
  kUsers = 4,          // \Registry\User
  kCurrentConfig = 5,  // \Registry\Machine\SYSTEM\CurrentControlSet\Hardware Profiles\Current
};

// What RegQueryInfoKeyW reports. Name lengths in characters without the NUL, data in bytes.
struct RegistryKeyInfo {
  ULONG subKeys = 0;
  ULONG maxSubKeyNameLength = 0;
  ULONG values = 0;
  ULONG maxValueNameLength = 0;
  ULONG maxValueDataLength = 0;
  LONGLONG lastWriteTime = 0;  // 100 ns units since 1601, UTC
};

// The hive's limits: a key name component, a value name, a value's data, the depth of a key.
inline constexpr size_t kRegistryMaxKeyNameLength = 255;
inline constexpr size_t kRegistryMaxValueNameLength = 16383;
inline constexpr size_t kRegistryMaxValueDataLength = size_t{1} << 20;
inline constexpr size_t kRegistryMaxDepth = 512;

}  // namespace nb
