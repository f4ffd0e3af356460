// The driver's records as lock records, and text helpers.
#include "lock_records.h"

#include <algorithm>
#include <cstring>

#include "nb/text.h"

namespace vault {

namespace {

constexpr INT kSecondsPerMinute = 60;

INT Minutes(ULONG seconds) { return static_cast<INT>(seconds / kSecondsPerMinute); }

char16_t FoldCase(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }

}  // namespace

void DriveToRecord(const NBFS_DRIVE& drive, _LCK_INFORMAION* record) {
  std::memset(record, 0, sizeof *record);
  record->type = LCK_TYPE_DRIVE;
  record->drive = drive.letter;
  record->mode = static_cast<INT>(drive.flags);
  record->timeout = Minutes(drive.timeout);
  record->running = RunningOf(record->timeout, record->mode);
}

void EntryToRecord(const NBFS_ENTRY& entry, _LCK_INFORMAION* record) {
  std::memset(record, 0, sizeof *record);
  record->drive = entry.letter;
  record->mode = static_cast<INT>(entry.type);
  record->timeout = Minutes(entry.timeout);
  record->running = RunningOf(record->timeout, record->mode);
  // The driver's path field holds at most 511 characters; the record's holds 512.
  size_t length = nb::text::Utf16Length(entry.path, NBFS_PATH_UNITS - 1);
  record->type = length ? LCK_TYPE_FOLDER : LCK_TYPE_DRIVE;
  std::copy_n(entry.path, length, record->path);
}

std::optional<std::u16string> DriverPath(const _LCK_INFORMAION& lock) {
  std::optional<std::u16string_view> path = FieldText(lock.path);
  if (!path || path->size() >= VAULT_DRIVER_PATH_UNITS) return std::nullopt;
  return std::u16string(*path);
}

bool EqualIgnoringCase(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) { return FoldCase(x) == FoldCase(y); });
}

std::optional<std::u16string_view> BeforeSecondBackslash(std::u16string_view text) {
  size_t first = text.find(u'\\');
  if (first == std::u16string_view::npos) return std::nullopt;
  size_t second = text.find(u'\\', first + 1);
  return second == std::u16string_view::npos ? text : text.substr(0, second);
}

std::string AnsiProcessName(const WCHAR (&name)[PROC_NAME_UNITS]) {
  size_t length = nb::text::Utf16Length(name, PROC_NAME_UNITS);
  std::string ansi = nb::text::Utf16ToUtf8(std::u16string_view(name, length));
  constexpr size_t kMaxBytes = NBFS_PROC_NAME_BYTES - 1;
  if (ansi.size() > kMaxBytes) {
    size_t cut = kMaxBytes;
    while (cut > 0 && (static_cast<unsigned char>(ansi[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
    ansi.resize(cut);
  }
  return ansi;
}

void WidenProcessName(const CHAR (&name)[NBFS_PROC_NAME_BYTES], WCHAR (&out)[PROC_NAME_UNITS]) {
  std::memset(out, 0, sizeof out);
  size_t length = std::find(name, name + NBFS_PROC_NAME_BYTES, '\0') - name;
  std::u16string wide = nb::text::Utf8ToUtf16(std::string_view(name, length));
  std::copy_n(wide.begin(), std::min(wide.size(), PROC_NAME_UNITS - 1), out);
}

}  // namespace vault
