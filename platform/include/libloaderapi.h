// Modules and their resources: LoadLibraryW and friends, the resource calls and LoadStringW.
// Included by windows.h.
#pragma once

#include "nb/basetypes.h"

struct HINSTANCE__;
typedef HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
struct HRSRC__;
typedef HRSRC__* HRSRC;
typedef void* HGLOBAL;
typedef intptr_t INT_PTR;
typedef INT_PTR (*FARPROC)();
typedef const CHAR* LPCSTR;
typedef void* LPVOID;

// An integer resource id in the place of a name or type.
#define MAKEINTRESOURCEW(i) ((LPWSTR)((ULONG_PTR)((WORD)(i))))
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)

#define RT_CURSOR MAKEINTRESOURCEW(1)
#define RT_BITMAP MAKEINTRESOURCEW(2)
#define RT_ICON MAKEINTRESOURCEW(3)
#define RT_MENU MAKEINTRESOURCEW(4)
#define RT_DIALOG MAKEINTRESOURCEW(5)
#define RT_STRING MAKEINTRESOURCEW(6)
#define RT_ACCELERATOR MAKEINTRESOURCEW(9)
#define RT_RCDATA MAKEINTRESOURCEW(10)
#define RT_GROUP_ICON MAKEINTRESOURCEW(14)
#define RT_TOOLBAR MAKEINTRESOURCEW(241)

#define LOAD_LIBRARY_AS_DATAFILE 0x00000002

// A module name is:
//  * a built-in module of this library ("PSAPI", "Kernel32"; any case, ".dll" or not);
//  * a drive path ("C:\Program Files\Nimbra\VAULT.EN"), read through the drive map;
//  * "\\?\unix\/abs/path" for a module outside every drive;
//  * a bare file name, looked for in the folder of the program's executable.
// A name without an extension gets ".dll", as on Windows ("name." keeps none). Loading a
// module again returns the same handle and counts one more reference; FreeLibrary drops
// one and unloads the module with the last. ERROR_MOD_NOT_FOUND when there is no such
// file, ERROR_BAD_EXE_FORMAT when it is no module. A module loaded as a data file gives
// its resources alike.
HMODULE LoadLibraryW(LPCWSTR fileName);
HMODULE LoadLibraryExW(LPCWSTR fileName, HANDLE file, DWORD flags);
BOOL FreeLibrary(HMODULE module);
// An exported function or variable by name; ERROR_PROC_NOT_FOUND when the module has none
// (ordinals name nothing here), ERROR_INVALID_HANDLE for a value that is no loaded module.
FARPROC GetProcAddress(HMODULE module, LPCSTR procName);
// Null: the program's own module. Else a module already loaded, by the name it was loaded
// with or its file name; no reference is counted. ERROR_MOD_NOT_FOUND otherwise.
HMODULE GetModuleHandleW(LPCWSTR moduleName);

// Resources of a module (null: the program's). Names and types are integer ids
// (MAKEINTRESOURCEW), "#number" or names (any case). FindResourceW takes the first
// language the module holds; FindResourceExW the given one (0: any). Failures:
// ERROR_RESOURCE_DATA_NOT_FOUND (the module has no resources),
// ERROR_RESOURCE_TYPE_NOT_FOUND, ERROR_RESOURCE_NAME_NOT_FOUND,
// ERROR_RESOURCE_LANG_NOT_FOUND. The bytes stay valid while the module is loaded.
HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type);
HRSRC FindResourceExW(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language);
HGLOBAL LoadResource(HMODULE module, HRSRC resource);
LPVOID LockResource(HGLOBAL resourceData);
DWORD SizeofResource(HMODULE module, HRSRC resource);

// String `id` of the module's string table (block id / 16 + 1, entry id % 16). With a
// `bufferMax` of 0, `buffer` receives a read-only pointer to the text inside the module
// (not terminated) and the result is its length. Else at most bufferMax - 1 characters
// are copied and terminated; the result is the number copied. 0 with
// ERROR_RESOURCE_NAME_NOT_FOUND for a missing or empty string (the buffer then holds an
// empty string), ERROR_INVALID_PARAMETER for a null buffer or a negative size.
int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int bufferMax);
