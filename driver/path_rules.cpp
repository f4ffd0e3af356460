// Path equality and the governing-entry test.
#include "path_rules.h"

namespace {
// towlower of the kernel, independent of any locale.
WCHAR Lower(WCHAR c) { return RtlDowncaseUnicodeChar(c); }
}  // namespace

bool PathEqual(const WCHAR* a, ULONG aLength, const WCHAR* b, ULONG bLength) {
  if (aLength != bLength) return false;
  for (ULONG i = 0; i < aLength / sizeof(WCHAR); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

bool IsUnder(const WCHAR* entryPath, ULONG entryLength, const WCHAR* path, ULONG pathLength) {
  if (entryLength > pathLength) return false;
  ULONG units = entryLength / sizeof(WCHAR);
  for (ULONG i = 0; i < units; ++i) {
    if (Lower(entryPath[i]) != Lower(path[i])) return false;
  }
  if (entryLength == sizeof(WCHAR) && entryPath[0] == u'\\') return true;
  if (entryLength == pathLength) return true;
  return path[units] == u'\\';
}
