// Win32 user-mode interface (the subset this platform offers), served by libnbwin.
// Coexists with the kernel headers in one translation unit: it declares nothing that
// ntifs.h declares apart from the shared scalar types of nb/basetypes.h.
#pragma once

#include "nb/basetypes.h"
#include "winerror.h"

#include <cstdarg>

typedef void* LPVOID;
typedef const void* LPCVOID;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef BOOL* LPBOOL;

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    PVOID Pointer;
  };
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define MAX_PATH 260

// Creation dispositions of CreateFileW.
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5

// Flags of CreateFileW (the attributes are in nb/basetypes.h).
#define FILE_FLAG_WRITE_THROUGH 0x80000000u
#define FILE_FLAG_OVERLAPPED 0x40000000u
#define FILE_FLAG_NO_BUFFERING 0x20000000u
#define FILE_FLAG_RANDOM_ACCESS 0x10000000u
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000u
#define FILE_FLAG_DELETE_ON_CLOSE 0x04000000u
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u
#define FILE_FLAG_POSIX_SEMANTICS 0x01000000u
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000u

DWORD GetLastError();
VOID SetLastError(DWORD errorCode);

// "\\.\NAME" opens the device NAME of the machine's object manager ("\DosDevices\NAME");
// "\\.\X:" opens the volume of drive X; "X:\..." opens a file or, with
// FILE_FLAG_BACKUP_SEMANTICS, a folder on drive X.
HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
BOOL CloseHandle(HANDLE object);
// A volume handle flushes the whole volume; a file handle its own data. Needs write access.
BOOL FlushFileBuffers(HANDLE file);
// Synchronous METHOD_BUFFERED device control on a device handle.
BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                     DWORD outBufferSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped);

// Files and folders of drives ("X:\..."): each call is a request of the machine to the
// volume's device stack in this process's identity, so a filter above the file system
// judges it as any other open (a hidden folder is not found, a locked one access denied).
// Handles are synchronous: an OVERLAPPED only gives the offset of a read or write.
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten, LPOVERLAPPED overlapped);
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define INVALID_SET_FILE_POINTER ((DWORD)-1)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFF)
// On success the last error is NO_ERROR, so that a position whose low part is
// INVALID_SET_FILE_POINTER can be told from a failure.
DWORD SetFilePointer(HANDLE file, LONG distanceToMove, PLONG distanceToMoveHigh, DWORD moveMethod);
BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distanceToMove, PLARGE_INTEGER newFilePointer, DWORD moveMethod);
DWORD GetFileSize(HANDLE file, LPDWORD fileSizeHigh);
BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER fileSize);
// Cuts or extends the file at its file pointer.
BOOL SetEndOfFile(HANDLE file);

#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
// A folder is FILE_ATTRIBUTE_DIRECTORY only; a file is FILE_ATTRIBUTE_ARCHIVE, with
// FILE_ATTRIBUTE_READONLY when it cannot be written.
DWORD GetFileAttributesW(LPCWSTR fileName);
BOOL DeleteFileW(LPCWSTR fileName);
BOOL CreateDirectoryW(LPCWSTR pathName, LPSECURITY_ATTRIBUTES securityAttributes);
// The folder must be empty.
BOOL RemoveDirectoryW(LPCWSTR pathName);
// Within one drive only (ERROR_NOT_SAME_DEVICE otherwise); an existing target is kept
// (ERROR_ALREADY_EXISTS).
BOOL MoveFileW(LPCWSTR existingFileName, LPCWSTR newFileName);

#ifndef _FILETIME_
#define _FILETIME_
typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;
#endif

typedef struct _WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  WCHAR cFileName[MAX_PATH];
  WCHAR cAlternateFileName[14];
} WIN32_FIND_DATAW, *PWIN32_FIND_DATAW, *LPWIN32_FIND_DATAW;
static_assert(sizeof(WIN32_FIND_DATAW) == 592);

// "X:\dir\PATTERN": the entries of the folder whose names match PATTERN as Windows
// matches it ("*" any run, "?" one character or none before a dot or the end, "*.*"
// everything), in the file system's case. "." and ".." are listed as Windows lists them
// (not in a drive's root). Attributes as GetFileAttributesW gives them. Nothing that
// matches: ERROR_FILE_NOT_FOUND; a missing folder: ERROR_PATH_NOT_FOUND; the end of the
// listing: ERROR_NO_MORE_FILES.
HANDLE FindFirstFileW(LPCWSTR fileName, LPWIN32_FIND_DATAW findFileData);
BOOL FindNextFileW(HANDLE findFile, LPWIN32_FIND_DATAW findFileData);
BOOL FindClose(HANDLE findFile);

// Drives and volumes. A drive exists while "\DosDevices\X:" does (a volume's letter, a
// network drive or a substituted path); its type comes from the device behind it.
#define DRIVE_UNKNOWN 0
#define DRIVE_NO_ROOT_DIR 1
#define DRIVE_REMOVABLE 2
#define DRIVE_FIXED 3
#define DRIVE_REMOTE 4
#define DRIVE_CDROM 5
#define DRIVE_RAMDISK 6
#ifndef FILE_CASE_SENSITIVE_SEARCH
#define FILE_CASE_SENSITIVE_SEARCH 0x00000001
#define FILE_CASE_PRESERVED_NAMES 0x00000002
#define FILE_UNICODE_ON_DISK 0x00000004
#endif
// Bit 0 for A: and so on; 0 with the error when the machine cannot be asked.
DWORD GetLogicalDrives();
// "X:\" or "X:"; DRIVE_NO_ROOT_DIR for a drive that does not exist or a path that is no root.
UINT GetDriveTypeW(LPCWSTR rootPathName);
// "X:\" or "\\.\X:\" (the trailing backslash is required): label, serial number, longest
// name component, file system flags and name ("NTFS", "FAT"). Buffers are counted in
// characters with the NUL; a short one fails with ERROR_BAD_LENGTH.
BOOL GetVolumeInformationW(LPCWSTR rootPathName, LPWSTR volumeNameBuffer, DWORD volumeNameSize,
                           LPDWORD volumeSerialNumber, LPDWORD maximumComponentLength, LPDWORD fileSystemFlags,
                           LPWSTR fileSystemNameBuffer, DWORD fileSystemNameSize);
// The target of "\DosDevices\NAME" ("\Device\HarddiskVolume1" for "C:"), or with a null
// name every name there, as a list of NUL-terminated strings ending with an extra NUL.
// Returns the characters stored, 0 with ERROR_FILE_NOT_FOUND or ERROR_INSUFFICIENT_BUFFER.
DWORD QueryDosDeviceW(LPCWSTR deviceName, LPWSTR targetPath, DWORD ucchMax);

// Events. A name "Global\NAME", "Local\NAME" or "NAME" is the object
// "\BaseNamedObjects\NAME" of the machine; a null or empty name makes an unnamed event.
// CreateEventW on an existing name opens that event and sets ERROR_ALREADY_EXISTS.
#ifndef EVENT_QUERY_STATE
#define EVENT_QUERY_STATE 0x0001
#define EVENT_MODIFY_STATE 0x0002
#define EVENT_ALL_ACCESS 0x001F0003
#endif
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED_0 0x00000080u
#ifndef WAIT_TIMEOUT
#define WAIT_TIMEOUT 258L
#endif
#define WAIT_FAILED 0xFFFFFFFFu
#ifndef MAXIMUM_WAIT_OBJECTS
#define MAXIMUM_WAIT_OBJECTS 64
#endif

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES eventAttributes, BOOL manualReset, BOOL initialState, LPCWSTR name);
HANDLE OpenEventW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
// Mutexes, named as events are (a name is an event's or a mutex's, not both: the other
// kind fails with ERROR_INVALID_HANDLE; names are case-sensitive). CreateMutexW on an
// existing name opens that mutex, ignores initialOwner and sets ERROR_ALREADY_EXISTS.
// A mutex is owned by a thread, which may take it again; ReleaseMutex by any other
// thread fails with ERROR_NOT_OWNER. A wait that takes a mutex whose owner ended without
// releasing it gives WAIT_ABANDONED_0 (+ index) and owns it.
#ifndef MUTEX_ALL_ACCESS
#define MUTEX_MODIFY_STATE 0x0001
#define MUTEX_ALL_ACCESS 0x001F0001
#endif
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES mutexAttributes, BOOL initialOwner, LPCWSTR name);
HANDLE OpenMutexW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name);
BOOL ReleaseMutex(HANDLE mutex);

// WAIT_OBJECT_0 (+ the index of the handle that satisfied a wait for any),
// WAIT_ABANDONED_0 (+ index) for an abandoned mutex, WAIT_TIMEOUT, or WAIT_FAILED with
// the error in GetLastError.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);

// Local memory (FormatMessageW's allocated texts are freed with LocalFree).
typedef void* HLOCAL;
#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL LocalFree(HLOCAL memory);

// System texts for Win32 error codes, in English (language 0 or an English id).
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FF
// Returns the characters stored without the NUL; 0 with ERROR_MR_MID_NOT_FOUND for a code
// without a text, ERROR_INSUFFICIENT_BUFFER, or ERROR_INVALID_PARAMETER for a source other
// than the system.
DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer, DWORD size,
                     va_list* arguments);

// Text in code pages. The ANSI code page (CP_ACP) is UTF-8. Counts are in bytes or
// characters; -1 takes the source up to and with its NUL. A destination size of 0 asks
// for the size needed; a short destination fails with ERROR_INSUFFICIENT_BUFFER.
#define CP_ACP 0
#define CP_UTF8 65001
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wideText, int wideChars, LPSTR multiByteText,
                        int multiBytes, LPCSTR defaultChar, LPBOOL usedDefaultChar);
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByteText, int multiBytes, LPWSTR wideText,
                        int wideChars);

#include "winreg.h"

// Environment and system information, kept by the machine in its hive
// (nb/machine_defaults.h): never the Linux environment. The variables are the machine's
// (SystemRoot, windir, TEMP ...) and the caller's USERPROFILE ("C:\Documents and
// Settings\<login>", root's "Administrator") and USERNAME; names ignore case.
// Returns the characters needed with the NUL, also when `size` is too small (nothing is
// written then); %NAME% of an unknown variable stays as written. 0 with
// ERROR_INVALID_PARAMETER for a null source.
DWORD ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR destination, DWORD size);
// The characters stored without the NUL, or, when `size` is too small, the size needed
// with it; 0 with ERROR_ENVVAR_NOT_FOUND for an unknown name.
DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size);
// "C:\Windows" and "C:\Windows\system32" (from SystemRoot): the characters stored
// without the NUL, or the size needed with it when `size` is too small.
UINT GetWindowsDirectoryW(LPWSTR buffer, UINT size);
UINT GetSystemDirectoryW(LPWSTR buffer, UINT size);

// Modules. A null module is the program itself.
struct HINSTANCE__ {
  int unused;
};
typedef HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
// The module's file as a drive path ("C:\Program Files\Nimbra\NBSvc"), or "\\?\unix\..."
// for a file outside every drive: the characters stored without the NUL; when `size` is
// too small, the name cut to size - 1 characters with its NUL, `size` returned and
// ERROR_INSUFFICIENT_BUFFER. 0 with ERROR_MOD_NOT_FOUND for a module this process has
// not loaded.
DWORD GetModuleFileNameW(HMODULE module, LPWSTR filename, DWORD size);

typedef struct _OSVERSIONINFOW {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  WCHAR szCSDVersion[128];
} OSVERSIONINFOW, *POSVERSIONINFOW, *LPOSVERSIONINFOW;

typedef struct _OSVERSIONINFOEXW {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  WCHAR szCSDVersion[128];
  WORD wServicePackMajor;
  WORD wServicePackMinor;
  WORD wSuiteMask;
  BYTE wProductType;
  BYTE wReserved;
} OSVERSIONINFOEXW, *POSVERSIONINFOEXW, *LPOSVERSIONINFOEXW;

static_assert(sizeof(OSVERSIONINFOW) == 276);
static_assert(sizeof(OSVERSIONINFOEXW) == 284);

#define VER_PLATFORM_WIN32_NT 2
#define VER_NT_WORKSTATION 0x0000001
// 5.1.2600 (Windows XP) on the NT platform, a workstation without service pack, unless
// the hive says otherwise. dwOSVersionInfoSize must be the size of either record, else
// FALSE with ERROR_INSUFFICIENT_BUFFER.
BOOL GetVersionExW(LPOSVERSIONINFOW versionInformation);

// Languages and locales.
typedef WORD LANGID;
typedef DWORD LCID;
#define MAKELANGID(p, s) ((WORD)((((WORD)(s)) << 10) | (WORD)(p)))
#define PRIMARYLANGID(lgid) ((WORD)(lgid) & 0x3ff)
#define SUBLANGID(lgid) ((WORD)(lgid) >> 10)
#define MAKELCID(lgid, srtid) ((DWORD)((((DWORD)((WORD)(srtid))) << 16) | ((DWORD)((WORD)(lgid)))))
#define LANGIDFROMLCID(lcid) ((WORD)(lcid))
#define SORT_DEFAULT 0x0
#define LANG_NEUTRAL 0x00
#define LANG_CHINESE 0x04
#define LANG_ENGLISH 0x09
#define LANG_JAPANESE 0x11
#define LANG_KOREAN 0x12
#define SUBLANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define SUBLANG_ENGLISH_US 0x01
#define SUBLANG_CHINESE_SIMPLIFIED 0x02
// The system language from the hive (English when it holds none); the user's is the
// user's own locale when set, else the system's.
LANGID GetSystemDefaultLangID();
LANGID GetUserDefaultLangID();
LCID GetSystemDefaultLCID();
LCID GetUserDefaultLCID();

// Processes. Ids are the machine's: a program's own id is its Linux process id, and a
// thread acting as a simulated process of an in-process machine has that one. Process
// handles hold a pidfd, so the process they name can never be a later one with a recycled
// id. The System process (id 4) cannot be opened; TerminateProcess kills at once (SIGKILL,
// so the exit code is the signal's on Linux, not `exitCode`).
#ifndef PROCESS_TERMINATE
#define PROCESS_TERMINATE 0x0001
#define PROCESS_VM_READ 0x0010
#define PROCESS_QUERY_INFORMATION 0x0400
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000
#endif
#ifndef PROCESS_ALL_ACCESS
#define PROCESS_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFF)
#endif
DWORD GetCurrentProcessId();
// Null with ERROR_INVALID_PARAMETER for an id that names no process (0, a thread that
// leads none), ERROR_ACCESS_DENIED for System, for processes of other users when
// PROCESS_TERMINATE is asked, and for PROCESS_VM_READ on a process whose program this
// user may not read. Every process handle serves the PSAPI calls.
HANDLE OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId);
// FALSE with ERROR_ACCESS_DENIED when the handle lacks PROCESS_TERMINATE or the process
// has ended already, ERROR_INVALID_HANDLE for a handle that is no process.
BOOL TerminateProcess(HANDLE process, UINT exitCode);

// Message boxes, shown by the process's presenter (nb/win/message_box.h): a Qt box when a
// Qt application runs, else standard error (where nobody answers: the box is declined).
#ifndef MB_OK
typedef struct HWND__* HWND;
#define MB_OK 0x00000000L
#define MB_OKCANCEL 0x00000001L
#define MB_ABORTRETRYIGNORE 0x00000002L
#define MB_YESNOCANCEL 0x00000003L
#define MB_YESNO 0x00000004L
#define MB_RETRYCANCEL 0x00000005L
#define MB_CANCELTRYCONTINUE 0x00000006L
#define MB_ICONHAND 0x00000010L
#define MB_ICONQUESTION 0x00000020L
#define MB_ICONEXCLAMATION 0x00000030L
#define MB_ICONASTERISK 0x00000040L
#define MB_ICONERROR MB_ICONHAND
#define MB_ICONSTOP MB_ICONHAND
#define MB_ICONWARNING MB_ICONEXCLAMATION
#define MB_ICONINFORMATION MB_ICONASTERISK
#define MB_DEFBUTTON1 0x00000000L
#define MB_DEFBUTTON2 0x00000100L
#define MB_DEFBUTTON3 0x00000200L
#define MB_DEFBUTTON4 0x00000300L
#define MB_APPLMODAL 0x00000000L
#define MB_SYSTEMMODAL 0x00001000L
#define MB_TASKMODAL 0x00002000L
#define MB_SETFOREGROUND 0x00010000L
#define MB_TOPMOST 0x00040000L
#define MB_TYPEMASK 0x0000000FL
#define MB_ICONMASK 0x000000F0L
#define MB_DEFMASK 0x00000F00L
#define IDOK 1
#define IDCANCEL 2
#define IDABORT 3
#define IDRETRY 4
#define IDIGNORE 5
#define IDYES 6
#define IDNO 7
#define IDTRYAGAIN 10
#define IDCONTINUE 11
#endif
// The id of the button chosen; 0 with ERROR_INVALID_MSGBOX_STYLE for a button set that
// does not exist. A null caption is "Error".
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);

#include "libloaderapi.h"
