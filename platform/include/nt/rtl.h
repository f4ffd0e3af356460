// Run-time library basics: counted strings, doubly linked lists, memory and time fields.
#pragma once

#include <cstdarg>
#include <cstring>

#include "nb/basetypes.h"
#include "ntstatus.h"

typedef struct _UNICODE_STRING {
  USHORT Length;         // bytes, without a terminating NUL
  USHORT MaximumLength;  // bytes
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _ANSI_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PCHAR Buffer;
} ANSI_STRING, *PANSI_STRING;

typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY* Flink;
  struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

#define CONTAINING_RECORD(address, type, field) \
  ((type*)((char*)(address) - offsetof(type, field)))

inline void InitializeListHead(PLIST_ENTRY head) { head->Flink = head->Blink = head; }
inline BOOLEAN IsListEmpty(const LIST_ENTRY* head) { return head->Flink == head; }
inline void InsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  PLIST_ENTRY last = head->Blink;
  entry->Flink = head;
  entry->Blink = last;
  last->Flink = entry;
  head->Blink = entry;
}
inline void InsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  PLIST_ENTRY first = head->Flink;
  entry->Flink = first;
  entry->Blink = head;
  first->Blink = entry;
  head->Flink = entry;
}
// Returns TRUE when the list became empty.
inline BOOLEAN RemoveEntryList(PLIST_ENTRY entry) {
  PLIST_ENTRY next = entry->Flink;
  PLIST_ENTRY prev = entry->Blink;
  prev->Flink = next;
  next->Blink = prev;
  return next == prev;
}
inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY head) {
  PLIST_ENTRY entry = head->Flink;
  RemoveEntryList(entry);
  return entry;
}

#define RtlCopyMemory(d, s, n) std::memcpy((d), (s), (n))
#define RtlMoveMemory(d, s, n) std::memmove((d), (s), (n))
#define RtlZeroMemory(d, n) std::memset((d), 0, (n))
#define RtlFillMemory(d, n, v) std::memset((d), (v), (n))
#define RtlEqualMemory(a, b, n) (std::memcmp((a), (b), (n)) == 0)
inline SIZE_T RtlCompareMemory(const void* a, const void* b, SIZE_T length) {
  const UCHAR* x = static_cast<const UCHAR*>(a);
  const UCHAR* y = static_cast<const UCHAR*>(b);
  SIZE_T i = 0;
  while (i < length && x[i] == y[i]) ++i;
  return i;
}

VOID RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source);
VOID RtlInitAnsiString(PANSI_STRING destination, PCSTR source);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive);
// Converts an 8-bit (UTF-8 "ANSI") string; allocates the buffer when asked to.
NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING destination, const ANSI_STRING* source,
                                      BOOLEAN allocateDestination);
VOID RtlFreeUnicodeString(PUNICODE_STRING string);
WCHAR RtlUpcaseUnicodeChar(WCHAR c);
WCHAR RtlDowncaseUnicodeChar(WCHAR c);

// Bounded formatting into a narrow buffer; understands %ws and %S for wide strings.
// Returns the number of characters written, or -1 when the text did not fit.
int _vsnprintf(char* buffer, size_t count, const char* format, va_list args);
int _snprintf(char* buffer, size_t count, const char* format, ...);

typedef struct _TIME_FIELDS {
  SHORT Year;
  SHORT Month;
  SHORT Day;
  SHORT Hour;
  SHORT Minute;
  SHORT Second;
  SHORT Milliseconds;
  SHORT Weekday;
} TIME_FIELDS, *PTIME_FIELDS;

VOID RtlTimeToTimeFields(PLARGE_INTEGER time, PTIME_FIELDS timeFields);
