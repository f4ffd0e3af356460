// What nbctl prints: JSON with escaped strings, aligned text tables, and the rows of the
// lock list with the console's texts. Pure functions over records and strings.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <windows.h>

#include "VAULTSdk.h"

namespace nb::nbctl {

// A JSON string literal (quotes included) for UTF-8 text: quote, backslash and control
// characters escaped, bytes that are not UTF-8 replaced by U+FFFD.
std::string JsonString(std::string_view utf8);
// The same for UTF-16 text; an unpaired surrogate becomes U+FFFD.
std::string JsonString(std::u16string_view utf16);

// One JSON object with its members in the order added.
class JsonObject {
 public:
  JsonObject& Add(std::string_view key, std::string_view utf8);
  JsonObject& Add(std::string_view key, std::u16string_view utf16);
  JsonObject& Add(std::string_view key, const char* utf8) { return Add(key, std::string_view(utf8)); }
  JsonObject& Add(std::string_view key, long long number);
  JsonObject& Add(std::string_view key, bool value);
  // A member whose value is already JSON (an array or object).
  JsonObject& AddRaw(std::string_view key, std::string_view json);
  std::string Text() const { return "{" + members_ + "}"; }

 private:
  void Key(std::string_view key);
  std::string members_;
};

// "[a,b,...]" of JSON values.
std::string JsonArray(const std::vector<std::string>& values);

// Columns padded to their widest cell (counted in characters), separated by two spaces,
// the header first; no padding after the last column.
std::string FormatTable(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows);

// The console's texts by number (the NBAdmin module's string table); empty when the
// number has no text there.
using TextLoader = std::function<std::u16string(UINT)>;

// The console's text numbers.
inline constexpr UINT kTextReady = 61208;
inline constexpr UINT kTextRunning = 61209;
inline constexpr UINT kTextName = 61210;
inline constexpr UINT kTextTimeout = 61211;
inline constexpr UINT kTextType = 61212;
inline constexpr UINT kTextStatus = 61213;
inline constexpr UINT kTextMode = 61214;
inline constexpr UINT kTextDrive = 61217;
inline constexpr UINT kTextFolder = 61218;
inline constexpr UINT kTextPause = 61220;
inline constexpr UINT kTextHidden = 61230;
inline constexpr UINT kTextReadOnly = 61231;
inline constexpr UINT kTextUnknown = 61232;
inline constexpr UINT kTextNotStart = 61233;

// The English text of a console number (the built-in texts); empty for other numbers.
std::u16string BuiltInConsoleText(UINT number);
// The loader's text, or the built-in English one when the loader has none.
std::u16string ConsoleText(const TextLoader& loader, UINT number);

// One lock as nbctl shows it: the stable machine values of `list --json` and the texts
// of the console's five columns.
struct LockRow {
  std::u16string name;   // "X:" for a drive, "X:\..." for a folder, with the real drive letter
  char16_t drive = 0;    // the drive letter the driver knows
  std::u16string path;   // "\..." of a folder lock, empty for a drive lock
  std::string type;      // "folder" or "drive"
  std::string mode;      // "hidden", "readonly" or "unknown"
  int timeout = 0;       // minutes
  std::string status;    // "running", "ready", "paused" or "not-started"
  std::u16string owner;  // empty: every account sees it
  uint32_t serial = 0;   // volume serial
  std::vector<std::u16string> columns;  // Name, Type, Lock Mode, Idle Timeout(Minute), Status
};

LockRow MakeLockRow(const _LCK_INFORMAION& lock, const TextLoader& loader);
// The rows as a JSON array of objects with the members name, drive, path, type, mode,
// timeout, status, owner and serial.
std::string LockRowsJson(const std::vector<LockRow>& rows);
// The rows as the console's table (with an Owner column when `withOwner`).
std::string LockRowsTable(const std::vector<LockRow>& rows, const TextLoader& loader, bool withOwner);

}  // namespace nb::nbctl
