// Path rules of the lock table: case-insensitive equality and "governed by".
// Lengths are in bytes, as in the table's records.
#pragma once

#include <ntifs.h>

// Equal byte lengths and every unit equal after towlower.
bool PathEqual(const WCHAR* a, ULONG aLength, const WCHAR* b, ULONG bLength);

// True when the entry path governs `path`: the path is the entry itself or lies below it
// (\A governs \A and \a\x but not \AB); the root "\" governs everything.
bool IsUnder(const WCHAR* entryPath, ULONG entryLength, const WCHAR* path, ULONG pathLength);
