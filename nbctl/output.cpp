// JSON, tables and lock rows for nbctl's output.
#include "output.h"

#include <algorithm>
#include <cstdio>

#include "nb/text.h"
#include "options.h"

namespace nb::nbctl {

namespace {

constexpr uint32_t kReplacement = 0xFFFD;

// Appends one code point to a JSON string body.
void AppendJsonCode(std::string& out, uint32_t code) {
  switch (code) {
    case '"': out += "\\\""; return;
    case '\\': out += "\\\\"; return;
    case '\b': out += "\\b"; return;
    case '\f': out += "\\f"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    default: break;
  }
  // Control characters, and the two separators JavaScript does not take in a string.
  if (code < 0x20 || code == 0x7F || code == 0x2028 || code == 0x2029) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(code));
    out += escaped;
    return;
  }
  nb::text::AppendUtf8(out, code);
}

// Decodes one UTF-8 sequence at `i`; a byte that does not start a valid, shortest,
// non-surrogate sequence yields U+FFFD and advances by one.
uint32_t DecodeUtf8(std::string_view text, size_t& i) {
  auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
  unsigned char lead = byte(i);
  size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
  if (length == 1) {
    ++i;
    return lead;
  }
  if (length == 0 || i + length > text.size()) {
    ++i;
    return kReplacement;
  }
  uint32_t code = lead & (0xFF >> (length + 1));
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) {
      ++i;
      return kReplacement;
    }
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  static constexpr uint32_t kShortest[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kShortest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
    ++i;
    return kReplacement;
  }
  i += length;
  return code;
}

size_t CharacterCount(std::string_view utf8) {
  size_t count = 0;
  for (size_t i = 0; i < utf8.size();) {
    DecodeUtf8(utf8, i);
    ++count;
  }
  return count;
}

std::string Utf8(std::u16string_view text) { return nb::text::Utf16ToUtf8(text); }

}  // namespace

std::string JsonString(std::string_view utf8) {
  std::string out = "\"";
  for (size_t i = 0; i < utf8.size();) AppendJsonCode(out, DecodeUtf8(utf8, i));
  return out + "\"";
}

std::string JsonString(std::u16string_view utf16) {
  std::string out = "\"";
  for (size_t i = 0; i < utf16.size(); ++i) {
    uint32_t unit = utf16[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
      AppendJsonCode(out, 0x10000 + ((unit - 0xD800) << 10) + (utf16[i + 1] - 0xDC00));
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      AppendJsonCode(out, kReplacement);
    } else {
      AppendJsonCode(out, unit);
    }
  }
  return out + "\"";
}

void JsonObject::Key(std::string_view key) {
  if (!members_.empty()) members_ += ",";
  members_ += JsonString(key) + ":";
}

JsonObject& JsonObject::Add(std::string_view key, std::string_view utf8) {
  Key(key);
  members_ += JsonString(utf8);
  return *this;
}

JsonObject& JsonObject::Add(std::string_view key, std::u16string_view utf16) {
  Key(key);
  members_ += JsonString(utf16);
  return *this;
}

JsonObject& JsonObject::Add(std::string_view key, long long number) {
  Key(key);
  members_ += std::to_string(number);
  return *this;
}

JsonObject& JsonObject::Add(std::string_view key, bool value) {
  Key(key);
  members_ += value ? "true" : "false";
  return *this;
}

JsonObject& JsonObject::AddRaw(std::string_view key, std::string_view json) {
  Key(key);
  members_ += json;
  return *this;
}

std::string JsonArray(const std::vector<std::string>& values) {
  std::string out = "[";
  for (size_t i = 0; i < values.size(); ++i) {
    if (i) out += ",";
    out += values[i];
  }
  return out + "]";
}

std::string FormatTable(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> widths(header.size(), 0);
  auto measure = [&](const std::vector<std::string>& row) {
    for (size_t c = 0; c < row.size() && c < widths.size(); ++c) widths[c] = std::max(widths[c], CharacterCount(row[c]));
  };
  measure(header);
  for (const auto& row : rows) measure(row);
  auto line = [&](const std::vector<std::string>& row) {
    std::string out;
    for (size_t c = 0; c < widths.size(); ++c) {
      std::string cell = c < row.size() ? row[c] : "";
      // Cells are single lines: a line break inside one would break the table.
      std::replace(cell.begin(), cell.end(), '\n', ' ');
      std::replace(cell.begin(), cell.end(), '\r', ' ');
      out += cell;
      if (c + 1 < widths.size()) out += std::string(widths[c] - std::min(widths[c], CharacterCount(cell)) + 2, ' ');
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out + "\n";
  };
  std::string out = line(header);
  for (const auto& row : rows) out += line(row);
  return out;
}

std::u16string BuiltInConsoleText(UINT number) {
  switch (number) {
    case kTextReady: return u"Ready";
    case kTextRunning: return u"Running";
    case kTextName: return u"Name";
    case kTextTimeout: return u"Idle Timeout(Minute)";
    case kTextType: return u"Type";
    case kTextStatus: return u"Status";
    case kTextMode: return u"Lock Mode";
    case kTextDrive: return u"Drive";
    case kTextFolder: return u"Folder";
    case kTextPause: return u"Pause";
    case kTextHidden: return u"Hidden";
    case kTextReadOnly: return u"Read only";
    case kTextUnknown: return u"Unknown";
    case kTextNotStart: return u"Not start";
    default: return u"";
  }
}

std::u16string ConsoleText(const TextLoader& loader, UINT number) {
  std::u16string text = loader ? loader(number) : std::u16string();
  return text.empty() ? BuiltInConsoleText(number) : text;
}

LockRow MakeLockRow(const _LCK_INFORMAION& lock, const TextLoader& loader) {
  LockRow row;
  bool drive = lock.type == LCK_TYPE_DRIVE;
  row.drive = lock.drive;
  row.path = drive ? u"" : std::u16string(lock.path, nb::text::Utf16Length(lock.path, LCK_PATH_UNITS));
  char16_t shown = lock.realDrive ? lock.realDrive : lock.drive;
  row.name = std::u16string{shown, u':'} + row.path;
  row.type = drive ? "drive" : "folder";
  row.mode = lock.mode == kModeHidden ? "hidden" : lock.mode == kModeReadOnly ? "readonly" : "unknown";
  row.timeout = lock.timeout;
  if (lock.status == LCK_STATUS_PAUSED) {
    row.status = "paused";
  } else if (lock.status == LCK_STATUS_LOCKED) {
    row.status = lock.running ? "running" : "ready";
  } else {
    row.status = "not-started";
  }
  row.owner = std::u16string(lock.owner, nb::text::Utf16Length(lock.owner, LCK_OWNER_UNITS));
  row.serial = lock.serial;

  UINT status = lock.status == LCK_STATUS_PAUSED   ? kTextPause
                : lock.status != LCK_STATUS_LOCKED ? kTextNotStart
                : lock.running                     ? kTextRunning
                                                   : kTextReady;
  row.columns = {
      row.name,
      ConsoleText(loader, drive ? kTextDrive : kTextFolder),
      ConsoleText(loader, lock.mode == kModeHidden     ? kTextHidden
                          : lock.mode == kModeReadOnly ? kTextReadOnly
                                                           : kTextUnknown),
      nb::text::Utf8ToUtf16(std::to_string(lock.timeout)),
      ConsoleText(loader, status),
  };
  return row;
}

std::string LockRowsJson(const std::vector<LockRow>& rows) {
  std::vector<std::string> objects;
  for (const LockRow& row : rows) {
    objects.push_back(JsonObject()
                          .Add("name", std::u16string_view(row.name))
                          .Add("drive", std::u16string_view(&row.drive, row.drive ? 1 : 0))
                          .Add("path", std::u16string_view(row.path))
                          .Add("type", std::string_view(row.type))
                          .Add("mode", std::string_view(row.mode))
                          .Add("timeout", static_cast<long long>(row.timeout))
                          .Add("status", std::string_view(row.status))
                          .Add("owner", std::u16string_view(row.owner))
                          .Add("serial", static_cast<long long>(row.serial))
                          .Text());
  }
  return JsonArray(objects);
}

std::string LockRowsTable(const std::vector<LockRow>& rows, const TextLoader& loader, bool withOwner) {
  std::vector<std::string> header = {Utf8(ConsoleText(loader, kTextName)), Utf8(ConsoleText(loader, kTextType)),
                                     Utf8(ConsoleText(loader, kTextMode)), Utf8(ConsoleText(loader, kTextTimeout)),
                                     Utf8(ConsoleText(loader, kTextStatus))};
  if (withOwner) header.push_back("Owner");
  std::vector<std::vector<std::string>> cells;
  for (const LockRow& row : rows) {
    std::vector<std::string> line;
    for (const std::u16string& column : row.columns) line.push_back(Utf8(column));
    if (withOwner) line.push_back(Utf8(row.owner));
    cells.push_back(std::move(line));
  }
  return FormatTable(header, cells);
}

}  // namespace nb::nbctl
