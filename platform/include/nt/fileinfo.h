// File information records, create dispositions and options, and file-system control codes.
#pragma once

#include <cstddef>

#include "nb/basetypes.h"
#include "nt/io.h"

// Create dispositions (top 8 bits of IO_STACK_LOCATION Parameters.Create.Options).
#define FILE_SUPERSEDE 0x00000000
#define FILE_OPEN 0x00000001
#define FILE_CREATE 0x00000002
#define FILE_OPEN_IF 0x00000003
#define FILE_OVERWRITE 0x00000004
#define FILE_OVERWRITE_IF 0x00000005
#define FILE_MAXIMUM_DISPOSITION 0x00000005

// What a create did (IoStatus.Information of a successful create).
#define FILE_SUPERSEDED 0x00000000
#define FILE_OPENED 0x00000001
#define FILE_CREATED 0x00000002
#define FILE_OVERWRITTEN 0x00000003
#define FILE_EXISTS 0x00000004
#define FILE_DOES_NOT_EXIST 0x00000005

// Create options (low 24 bits of Parameters.Create.Options).
#define FILE_DIRECTORY_FILE 0x00000001
#define FILE_WRITE_THROUGH 0x00000002
#define FILE_SEQUENTIAL_ONLY 0x00000004
#define FILE_NO_INTERMEDIATE_BUFFERING 0x00000008
#define FILE_SYNCHRONOUS_IO_ALERT 0x00000010
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020
#define FILE_NON_DIRECTORY_FILE 0x00000040
#define FILE_CREATE_TREE_CONNECTION 0x00000080
#define FILE_COMPLETE_IF_OPLOCKED 0x00000100
#define FILE_NO_EA_KNOWLEDGE 0x00000200
#define FILE_OPEN_FOR_RECOVERY 0x00000400
#define FILE_RANDOM_ACCESS 0x00000800
#define FILE_DELETE_ON_CLOSE 0x00001000
#define FILE_OPEN_BY_FILE_ID 0x00002000
#define FILE_OPEN_FOR_BACKUP_INTENT 0x00004000
#define FILE_NO_COMPRESSION 0x00008000
#define FILE_RESERVE_OPFILTER 0x00100000
#define FILE_OPEN_REPARSE_POINT 0x00200000
#define FILE_OPEN_NO_RECALL 0x00400000
#define FILE_OPEN_FOR_FREE_SPACE_QUERY 0x00800000
#define FILE_VALID_OPTION_FLAGS 0x00ffffff

// Byte offsets of a read or write that mean "at the file position" and "at the end".
#define FILE_USE_FILE_POINTER_POSITION 0xfffffffe
#define FILE_WRITE_TO_END_OF_FILE 0xffffffff

// File-system control codes.
#define FSCTL_LOCK_VOLUME CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 6, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_UNLOCK_VOLUME CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 7, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_DISMOUNT_VOLUME CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 8, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_IS_VOLUME_MOUNTED CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 10, METHOD_BUFFERED, FILE_ANY_ACCESS)
static_assert(FSCTL_LOCK_VOLUME == 0x90018);
static_assert(FSCTL_DISMOUNT_VOLUME == 0x90020);
#define FILE_SPECIAL_ACCESS (FILE_ANY_ACCESS)  // the file system checks the right itself
#define FSCTL_SET_REPARSE_POINT CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 41, METHOD_BUFFERED, FILE_SPECIAL_ACCESS)
#define FSCTL_GET_REPARSE_POINT CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 42, METHOD_BUFFERED, FILE_ANY_ACCESS)
static_assert(FSCTL_SET_REPARSE_POINT == 0x900A4);
#define FSCTL_DELETE_REPARSE_POINT CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 43, METHOD_BUFFERED, FILE_SPECIAL_ACCESS)
static_assert(FSCTL_GET_REPARSE_POINT == 0x900A8);
static_assert(FSCTL_DELETE_REPARSE_POINT == 0x900AC);

// Reparse points. A POSIX symbolic link is the tag IO_REPARSE_TAG_LX_SYMLINK whose data is
// a ULONG version (2) followed by the link text in UTF-8, without a terminating NUL.
#define IO_REPARSE_TAG_LX_SYMLINK 0xA000001Du
#define LX_SYMLINK_REPARSE_VERSION 2
#define MAXIMUM_REPARSE_DATA_BUFFER_SIZE (16 * 1024)
// Only the generic form of the record: the data of any tag follows its header.
typedef struct _REPARSE_DATA_BUFFER {
  ULONG ReparseTag;
  USHORT ReparseDataLength;  // the bytes of data that follow the header
  USHORT Reserved;
  struct {
    UCHAR DataBuffer[1];
  } GenericReparseBuffer;
} REPARSE_DATA_BUFFER, *PREPARSE_DATA_BUFFER;
#define REPARSE_DATA_BUFFER_HEADER_SIZE offsetof(REPARSE_DATA_BUFFER, GenericReparseBuffer)
static_assert(REPARSE_DATA_BUFFER_HEADER_SIZE == 8);

// Directory information records (IRP_MN_QUERY_DIRECTORY). Every record begins with
// NextEntryOffset (0 in the last record) and FileIndex; records start on 8-byte boundaries.
typedef struct _FILE_DIRECTORY_INFORMATION {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  LARGE_INTEGER EndOfFile;
  LARGE_INTEGER AllocationSize;
  ULONG FileAttributes;
  ULONG FileNameLength;
  WCHAR FileName[1];
} FILE_DIRECTORY_INFORMATION, *PFILE_DIRECTORY_INFORMATION;
static_assert(offsetof(FILE_DIRECTORY_INFORMATION, CreationTime) == 8);
static_assert(offsetof(FILE_DIRECTORY_INFORMATION, EndOfFile) == 40);
static_assert(offsetof(FILE_DIRECTORY_INFORMATION, FileAttributes) == 56);
static_assert(offsetof(FILE_DIRECTORY_INFORMATION, FileNameLength) == 60);
static_assert(offsetof(FILE_DIRECTORY_INFORMATION, FileName) == 64);

typedef struct _FILE_FULL_DIR_INFORMATION {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  LARGE_INTEGER EndOfFile;
  LARGE_INTEGER AllocationSize;
  ULONG FileAttributes;
  ULONG FileNameLength;
  ULONG EaSize;
  WCHAR FileName[1];
} FILE_FULL_DIR_INFORMATION, *PFILE_FULL_DIR_INFORMATION;
static_assert(offsetof(FILE_FULL_DIR_INFORMATION, FileNameLength) == 60);
static_assert(offsetof(FILE_FULL_DIR_INFORMATION, EaSize) == 64);
static_assert(offsetof(FILE_FULL_DIR_INFORMATION, FileName) == 68);

typedef struct _FILE_BOTH_DIR_INFORMATION {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  LARGE_INTEGER EndOfFile;
  LARGE_INTEGER AllocationSize;
  ULONG FileAttributes;
  ULONG FileNameLength;
  ULONG EaSize;
  CHAR ShortNameLength;
  WCHAR ShortName[12];
  WCHAR FileName[1];
} FILE_BOTH_DIR_INFORMATION, *PFILE_BOTH_DIR_INFORMATION;
static_assert(offsetof(FILE_BOTH_DIR_INFORMATION, FileNameLength) == 60);
static_assert(offsetof(FILE_BOTH_DIR_INFORMATION, ShortNameLength) == 68);
static_assert(offsetof(FILE_BOTH_DIR_INFORMATION, ShortName) == 70);
static_assert(offsetof(FILE_BOTH_DIR_INFORMATION, FileName) == 94);

typedef struct _FILE_NAMES_INFORMATION {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  ULONG FileNameLength;
  WCHAR FileName[1];
} FILE_NAMES_INFORMATION, *PFILE_NAMES_INFORMATION;
static_assert(offsetof(FILE_NAMES_INFORMATION, FileNameLength) == 8);
static_assert(offsetof(FILE_NAMES_INFORMATION, FileName) == 12);

typedef struct _FILE_ID_BOTH_DIR_INFORMATION {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  LARGE_INTEGER EndOfFile;
  LARGE_INTEGER AllocationSize;
  ULONG FileAttributes;
  ULONG FileNameLength;
  ULONG EaSize;
  CHAR ShortNameLength;
  WCHAR ShortName[12];
  LARGE_INTEGER FileId;
  WCHAR FileName[1];
} FILE_ID_BOTH_DIR_INFORMATION, *PFILE_ID_BOTH_DIR_INFORMATION;
static_assert(offsetof(FILE_ID_BOTH_DIR_INFORMATION, FileNameLength) == 60);
static_assert(offsetof(FILE_ID_BOTH_DIR_INFORMATION, ShortName) == 70);
static_assert(offsetof(FILE_ID_BOTH_DIR_INFORMATION, FileId) == 96);
static_assert(offsetof(FILE_ID_BOTH_DIR_INFORMATION, FileName) == 104);

typedef struct _FILE_ID_FULL_DIR_INFORMATION {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  LARGE_INTEGER EndOfFile;
  LARGE_INTEGER AllocationSize;
  ULONG FileAttributes;
  ULONG FileNameLength;
  ULONG EaSize;
  LARGE_INTEGER FileId;
  WCHAR FileName[1];
} FILE_ID_FULL_DIR_INFORMATION, *PFILE_ID_FULL_DIR_INFORMATION;
static_assert(offsetof(FILE_ID_FULL_DIR_INFORMATION, FileNameLength) == 60);
static_assert(offsetof(FILE_ID_FULL_DIR_INFORMATION, EaSize) == 64);
static_assert(offsetof(FILE_ID_FULL_DIR_INFORMATION, FileId) == 72);
static_assert(offsetof(FILE_ID_FULL_DIR_INFORMATION, FileName) == 80);

// Query and set information records.
typedef struct _FILE_BASIC_INFORMATION {
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  ULONG FileAttributes;
} FILE_BASIC_INFORMATION, *PFILE_BASIC_INFORMATION;
static_assert(offsetof(FILE_BASIC_INFORMATION, FileAttributes) == 32 && sizeof(FILE_BASIC_INFORMATION) == 40);

typedef struct _FILE_STANDARD_INFORMATION {
  LARGE_INTEGER AllocationSize;
  LARGE_INTEGER EndOfFile;
  ULONG NumberOfLinks;
  BOOLEAN DeletePending;
  BOOLEAN Directory;
} FILE_STANDARD_INFORMATION, *PFILE_STANDARD_INFORMATION;
static_assert(offsetof(FILE_STANDARD_INFORMATION, DeletePending) == 20 && sizeof(FILE_STANDARD_INFORMATION) == 24);

typedef struct _FILE_INTERNAL_INFORMATION {
  LARGE_INTEGER IndexNumber;
} FILE_INTERNAL_INFORMATION, *PFILE_INTERNAL_INFORMATION;

typedef struct _FILE_POSITION_INFORMATION {
  LARGE_INTEGER CurrentByteOffset;
} FILE_POSITION_INFORMATION, *PFILE_POSITION_INFORMATION;

typedef struct _FILE_END_OF_FILE_INFORMATION {
  LARGE_INTEGER EndOfFile;
} FILE_END_OF_FILE_INFORMATION, *PFILE_END_OF_FILE_INFORMATION;

typedef struct _FILE_ALLOCATION_INFORMATION {
  LARGE_INTEGER AllocationSize;
} FILE_ALLOCATION_INFORMATION, *PFILE_ALLOCATION_INFORMATION;

typedef struct _FILE_DISPOSITION_INFORMATION {
  BOOLEAN DeleteFile;
} FILE_DISPOSITION_INFORMATION, *PFILE_DISPOSITION_INFORMATION;

// FileDispositionInformationEx: Flags of FILE_DISPOSITION_* bits.
#define FILE_DISPOSITION_DO_NOT_DELETE 0x00000000
#define FILE_DISPOSITION_DELETE 0x00000001
#define FILE_DISPOSITION_POSIX_SEMANTICS 0x00000002
#define FILE_DISPOSITION_FORCE_IMAGE_SECTION_CHECK 0x00000004
#define FILE_DISPOSITION_ON_CLOSE 0x00000008
#define FILE_DISPOSITION_IGNORE_READONLY_ATTRIBUTE 0x00000010

typedef struct _FILE_DISPOSITION_INFORMATION_EX {
  ULONG Flags;
} FILE_DISPOSITION_INFORMATION_EX, *PFILE_DISPOSITION_INFORMATION_EX;
static_assert(sizeof(FILE_DISPOSITION_INFORMATION_EX) == 4);

typedef struct _FILE_NAME_INFORMATION {
  ULONG FileNameLength;
  WCHAR FileName[1];
} FILE_NAME_INFORMATION, *PFILE_NAME_INFORMATION;
static_assert(offsetof(FILE_NAME_INFORMATION, FileName) == 4);

// A new name: a path from the volume root ("\dir\new"), or a name in the target directory
// (Parameters.SetFile.FileObject) or in the file's own directory.
typedef struct _FILE_RENAME_INFORMATION {
  BOOLEAN ReplaceIfExists;
  HANDLE RootDirectory;
  ULONG FileNameLength;
  WCHAR FileName[1];
} FILE_RENAME_INFORMATION, *PFILE_RENAME_INFORMATION;
static_assert(offsetof(FILE_RENAME_INFORMATION, RootDirectory) == sizeof(HANDLE));
static_assert(offsetof(FILE_RENAME_INFORMATION, FileNameLength) == 2 * sizeof(HANDLE));
static_assert(offsetof(FILE_RENAME_INFORMATION, FileName) == 2 * sizeof(HANDLE) + 4);

// A second name for the file (a hard link), given as a rename's new name is.
typedef struct _FILE_LINK_INFORMATION {
  BOOLEAN ReplaceIfExists;
  HANDLE RootDirectory;
  ULONG FileNameLength;
  WCHAR FileName[1];
} FILE_LINK_INFORMATION, *PFILE_LINK_INFORMATION;
static_assert(offsetof(FILE_LINK_INFORMATION, FileNameLength) == offsetof(FILE_RENAME_INFORMATION, FileNameLength));
static_assert(offsetof(FILE_LINK_INFORMATION, FileName) == offsetof(FILE_RENAME_INFORMATION, FileName));

typedef struct _FILE_NETWORK_OPEN_INFORMATION {
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  LARGE_INTEGER AllocationSize;
  LARGE_INTEGER EndOfFile;
  ULONG FileAttributes;
} FILE_NETWORK_OPEN_INFORMATION, *PFILE_NETWORK_OPEN_INFORMATION;
static_assert(offsetof(FILE_NETWORK_OPEN_INFORMATION, FileAttributes) == 48 &&
              sizeof(FILE_NETWORK_OPEN_INFORMATION) == 56);

typedef struct _FILE_ATTRIBUTE_TAG_INFORMATION {
  ULONG FileAttributes;
  ULONG ReparseTag;
} FILE_ATTRIBUTE_TAG_INFORMATION, *PFILE_ATTRIBUTE_TAG_INFORMATION;

// FileStatLxInformation: the attributes of FileNetworkOpenInformation with the POSIX owner,
// mode and device numbers (the LxFlags say which of them the file system filled).
#define LX_FILE_METADATA_HAS_UID 0x1
#define LX_FILE_METADATA_HAS_GID 0x2
#define LX_FILE_METADATA_HAS_MODE 0x4
#define LX_FILE_METADATA_HAS_DEVICE_ID 0x8
typedef struct _FILE_STAT_LX_INFORMATION {
  LARGE_INTEGER FileId;
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  LARGE_INTEGER AllocationSize;
  LARGE_INTEGER EndOfFile;
  ULONG FileAttributes;
  ULONG ReparseTag;
  ULONG NumberOfLinks;
  ACCESS_MASK EffectiveAccess;
  ULONG LxFlags;
  ULONG LxUid;
  ULONG LxGid;
  ULONG LxMode;
  ULONG LxDeviceIdMajor;
  ULONG LxDeviceIdMinor;
} FILE_STAT_LX_INFORMATION, *PFILE_STAT_LX_INFORMATION;
static_assert(sizeof(FILE_STAT_LX_INFORMATION) == 96);
static_assert(offsetof(FILE_STAT_LX_INFORMATION, FileAttributes) == 56);
static_assert(offsetof(FILE_STAT_LX_INFORMATION, LxFlags) == 72);
static_assert(offsetof(FILE_STAT_LX_INFORMATION, LxDeviceIdMinor) == 92);
