// Reading, checking and compiling string tables.
#include "nb/rcgen/string_tables.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <map>
#include <set>

namespace nb::rcgen {

namespace {

constexpr size_t kMaxTextUnits = 65535;  // a length in an RT_STRING block is one unit

std::string At(const StringTable& table, int line) { return table.fileName + ":" + std::to_string(line) + ": "; }

// Appends the UTF-16 of one UTF-8 sequence at `*at`; false for invalid UTF-8.
bool DecodeUtf8(std::string_view text, size_t* at, std::u16string* out) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(*at);
  uint32_t code;
  size_t length;
  if (lead < 0x80) {
    code = lead, length = 1;
  } else if ((lead & 0xE0) == 0xC0) {
    code = lead & 0x1F, length = 2;
  } else if ((lead & 0xF0) == 0xE0) {
    code = lead & 0x0F, length = 3;
  } else if ((lead & 0xF8) == 0xF0) {
    code = lead & 0x07, length = 4;
  } else {
    return false;
  }
  if (*at + length > text.size()) return false;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(*at + i) & 0xC0) != 0x80) return false;
    code = (code << 6) | (byte(*at + i) & 0x3F);
  }
  static constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kLeast[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
  if (code >= 0x10000) {
    code -= 0x10000;
    out->push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
    out->push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
  } else {
    out->push_back(static_cast<char16_t>(code));
  }
  *at += length;
  return true;
}

// The text of a line after its tab, escapes resolved; false with `*error`.
bool DecodeText(std::string_view raw, std::u16string* text, std::string* error) {
  size_t at = 0;
  while (at < raw.size()) {
    if (raw[at] != '\\') {
      if (static_cast<unsigned char>(raw[at]) < 0x20) {
        *error = "control character in text (write it as an escape)";
        return false;
      }
      if (!DecodeUtf8(raw, &at, text)) {
        *error = "invalid UTF-8";
        return false;
      }
      continue;
    }
    if (at + 1 >= raw.size()) {
      *error = "text ends with a lone backslash";
      return false;
    }
    char escape = raw[at + 1];
    at += 2;
    switch (escape) {
      case '\\': text->push_back(u'\\'); break;
      case 'n': text->push_back(u'\n'); break;
      case 'r': text->push_back(u'\r'); break;
      case 't': text->push_back(u'\t'); break;
      case 'u': {
        uint16_t unit;
        std::string_view digits = raw.substr(at, 4);
        auto [end, failure] = std::from_chars(digits.data(), digits.data() + digits.size(), unit, 16);
        if (digits.size() != 4 || failure != std::errc() || end != digits.data() + 4 || unit == 0 ||
            (unit >= 0xD800 && unit <= 0xDFFF)) {
          *error = "\\u needs four hexadecimal digits of a character other than NUL and surrogates";
          return false;
        }
        text->push_back(static_cast<char16_t>(unit));
        at += 4;
        break;
      }
      default:
        *error = std::string("unknown escape \\") + escape;
        return false;
    }
  }
  return true;
}

std::string Join(const std::vector<std::string>& kinds) {
  if (kinds.empty()) return "none";
  std::string joined;
  for (const std::string& kind : kinds) joined += (joined.empty() ? "" : ", ") + kind;
  return joined;
}

}  // namespace

bool ParseStringTable(std::string_view source, StringTable* table, std::vector<std::string>* errors) {
  size_t before = errors->size();
  if (source.starts_with("\xEF\xBB\xBF")) source.remove_prefix(3);
  std::map<uint32_t, int> seen;
  int line = 0;
  size_t at = 0;
  while (at <= source.size()) {
    size_t end = source.find('\n', at);
    if (end == std::string_view::npos) end = source.size();
    std::string_view text = source.substr(at, end - at);
    at = end + 1;
    ++line;
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    if (text.empty() || text.front() == '#') continue;
    size_t tab = text.find('\t');
    std::string_view number = text.substr(0, tab);
    uint32_t id;
    auto [stop, failure] = std::from_chars(number.data(), number.data() + number.size(), id);
    if (tab == std::string_view::npos || number.empty() || failure != std::errc() ||
        stop != number.data() + number.size() || id > 0xFFFF) {
      errors->push_back(At(*table, line) + "expected an id from 0 to 65535, a tab and a text");
      continue;
    }
    StringEntry entry{id, {}, line};
    std::string error;
    if (!DecodeText(text.substr(tab + 1), &entry.text, &error)) {
      errors->push_back(At(*table, line) + error);
      continue;
    }
    if (entry.text.empty()) {
      errors->push_back(At(*table, line) + "string " + std::to_string(id) + " is empty");
      continue;
    }
    if (entry.text.size() > kMaxTextUnits) {
      errors->push_back(At(*table, line) + "string " + std::to_string(id) + " is too long");
      continue;
    }
    auto [previous, inserted] = seen.emplace(id, line);
    if (!inserted) {
      errors->push_back(At(*table, line) + "string " + std::to_string(id) + " is already defined on line " +
                        std::to_string(previous->second));
      continue;
    }
    table->entries.push_back(std::move(entry));
  }
  return errors->size() == before;
}

std::optional<std::vector<std::string>> FormatArguments(std::u16string_view text, std::string* error) {
  std::vector<std::string> kinds;
  size_t at = 0;
  auto fail = [&](const std::string& why) {
    *error = why;
    return std::nullopt;
  };
  while ((at = text.find(u'%', at)) != std::u16string_view::npos) {
    ++at;
    if (at < text.size() && text[at] == u'%') {
      ++at;
      continue;
    }
    while (at < text.size() && std::u16string_view(u"-+ #0").find(text[at]) != std::u16string_view::npos) ++at;
    auto skipNumber = [&](bool* star) {
      *star = at < text.size() && text[at] == u'*';
      if (*star) {
        ++at;
        return;
      }
      while (at < text.size() && text[at] >= u'0' && text[at] <= u'9') ++at;
    };
    bool star;
    skipNumber(&star);
    if (at < text.size() && text[at] == u'$') return fail("positional arguments are not allowed");
    if (star) kinds.push_back("int");
    if (at < text.size() && text[at] == u'.') {
      ++at;
      skipNumber(&star);
      if (star) kinds.push_back("int");
    }
    std::u16string size;
    for (std::u16string_view prefix : {u"I64", u"ll", u"h", u"l", u"w"}) {
      if (text.substr(at).starts_with(prefix)) {
        size = prefix;
        at += prefix.size();
        break;
      }
    }
    if (at >= text.size()) return fail("a conversion is cut off at the end");
    char16_t conversion = text[at++];
    bool wide = size == u"l" || size == u"w";
    bool narrow = size == u"h";
    switch (conversion) {
      case u'd': case u'i': case u'u': case u'x': case u'X': case u'o':
        kinds.push_back(size == u"ll" || size == u"I64" ? "64-bit int" : "int");
        break;
      case u'c':
        kinds.push_back(narrow ? "narrow char" : "wide char");
        break;
      case u'C':
        kinds.push_back(wide ? "wide char" : "narrow char");
        break;
      case u's':
        kinds.push_back(narrow ? "narrow string" : "wide string");
        break;
      case u'S':
        kinds.push_back(wide ? "wide string" : "narrow string");
        break;
      case u'p':
        kinds.push_back("pointer");
        break;
      case u'n':
        return fail("%n is not allowed");
      default:
        return fail("unknown conversion %" + std::string(1, conversion < 0x80 ? static_cast<char>(conversion) : '?'));
    }
  }
  return kinds;
}

bool CheckTables(const std::vector<StringTable>& tables, std::vector<std::string>* errors) {
  size_t before = errors->size();
  // Each text's format on its own.
  std::vector<std::map<uint32_t, std::pair<const StringEntry*, std::vector<std::string>>>> arguments(tables.size());
  for (size_t t = 0; t < tables.size(); ++t) {
    for (const StringEntry& entry : tables[t].entries) {
      std::string error;
      auto kinds = FormatArguments(entry.text, &error);
      if (!kinds) {
        errors->push_back(At(tables[t], entry.line) + "string " + std::to_string(entry.id) + ": " + error);
        continue;
      }
      arguments[t][entry.id] = {&entry, std::move(*kinds)};
    }
  }
  if (tables.empty()) return errors->size() == before;
  // Every language against the first.
  const StringTable& reference = tables[0];
  std::set<uint32_t> referenceIds;
  for (const StringEntry& entry : reference.entries) referenceIds.insert(entry.id);
  for (size_t t = 1; t < tables.size(); ++t) {
    std::set<uint32_t> ids;
    for (const StringEntry& entry : tables[t].entries) {
      ids.insert(entry.id);
      if (!referenceIds.count(entry.id)) {
        errors->push_back(At(tables[t], entry.line) + "string " + std::to_string(entry.id) + " is not in " +
                          reference.language + " (" + reference.fileName + ")");
        continue;
      }
      auto mine = arguments[t].find(entry.id);
      auto theirs = arguments[0].find(entry.id);
      if (mine == arguments[t].end() || theirs == arguments[0].end()) continue;  // already reported
      if (mine->second.second != theirs->second.second) {
        errors->push_back(At(tables[t], entry.line) + "string " + std::to_string(entry.id) + " takes (" +
                          Join(mine->second.second) + ") but " + reference.language + " takes (" +
                          Join(theirs->second.second) + ")");
      }
    }
    for (const StringEntry& entry : reference.entries) {
      if (!ids.count(entry.id)) {
        errors->push_back(tables[t].fileName + ": string " + std::to_string(entry.id) + " of " + reference.language +
                          " is missing");
      }
    }
  }
  return errors->size() == before;
}

std::optional<uint16_t> LanguageIdOf(std::string_view code) {
  if (code == "EN") return 0x0409;
  if (code == "JP") return 0x0411;
  if (code == "KO") return 0x0412;
  if (code == "CH") return 0x0804;
  return std::nullopt;
}

bool ParseFileResource(std::string_view argument, FileResource* resource, std::string* error) {
  size_t colon = argument.find(':'), equals = argument.find('=');
  if (colon == std::string_view::npos || equals == std::string_view::npos || equals < colon) {
    *error = "expected TYPE:ID=FILE, not " + std::string(argument);
    return false;
  }
  std::string_view type = argument.substr(0, colon), number = argument.substr(colon + 1, equals - colon - 1);
  if (type == "ICON") {
    resource->type = 3;
  } else if (type == "BITMAP") {
    resource->type = 2;
  } else if (type == "RCDATA") {
    resource->type = 10;
  } else {
    *error = "unknown resource type " + std::string(type) + " (ICON, BITMAP or RCDATA)";
    return false;
  }
  uint32_t id = 0;
  auto [end, failure] = std::from_chars(number.data(), number.data() + number.size(), id);
  if (number.empty() || failure != std::errc() || end != number.data() + number.size() || id == 0 || id > 0xFFFF) {
    *error = "resource id must be 1 to 65535, not " + std::string(number);
    return false;
  }
  resource->id = static_cast<uint16_t>(id);
  resource->fileName = std::string(argument.substr(equals + 1));
  std::ifstream in(resource->fileName, std::ios::binary);
  std::ostringstream bytes;
  if (!in || !(bytes << in.rdbuf())) {
    *error = resource->fileName + ": cannot be read";
    return false;
  }
  resource->bytes = bytes.str();
  if (resource->bytes.empty() || resource->bytes.size() > 0xFFFFFFFFu) {
    *error = resource->fileName + ": empty or too large";
    return false;
  }
  return true;
}

std::string ModuleSource(const std::string& moduleName, const StringTable& table, uint16_t languageId,
                         const std::vector<FileResource>& files) {
  std::map<uint32_t, std::vector<const StringEntry*>> blocks;  // block id -> 16 slots
  for (const StringEntry& entry : table.entries) {
    auto& slots = blocks[(entry.id >> 4) + 1];
    slots.resize(16, nullptr);
    slots[entry.id & 15] = &entry;
  }
  std::string out = "// Generated by nbrcgen from " + table.fileName + ": the string table of " + moduleName + "." +
                    table.language + ".\n#include <cstdint>\n\n#include \"nb/resource_module.h\"\n\nnamespace {\n\n";
  char number[16];
  for (const auto& [block, slots] : blocks) {
    out += "const uint16_t kBlock" + std::to_string(block) + "[] = {";
    size_t column = 0;
    auto unit = [&](unsigned value) {
      std::snprintf(number, sizeof number, "%s0x%04X,", column % 12 ? " " : "\n    ", value);
      out += number;
      ++column;
    };
    for (const StringEntry* entry : slots) {
      unit(entry ? static_cast<unsigned>(entry->text.size()) : 0);
      if (entry) {
        for (char16_t c : entry->text) unit(c);
      }
    }
    out += "\n};\n\n";
  }
  for (size_t f = 0; f < files.size(); ++f) {
    out += "// " + files[f].fileName + "\nconst unsigned char kFile" + std::to_string(f) + "[] = {";
    for (size_t i = 0; i < files[f].bytes.size(); ++i) {
      std::snprintf(number, sizeof number, "%s%u,", i % 16 ? "" : "\n    ", static_cast<unsigned char>(files[f].bytes[i]));
      out += number;
    }
    out += "\n};\n\n";
  }
  out += "const NbResourceEntry kEntries[] = {\n";
  for (const auto& [block, slots] : blocks) {
    std::snprintf(number, sizeof number, "0x%04X", languageId);
    std::string name = "kBlock" + std::to_string(block);
    out += "    {{6, nullptr}, {" + std::to_string(block) + ", nullptr}, " + number + ", 0, sizeof " + name + ", " +
           name + "},\n";
  }
  for (size_t f = 0; f < files.size(); ++f) {
    std::string name = "kFile" + std::to_string(f);
    out += "    {{" + std::to_string(files[f].type) + ", nullptr}, {" + std::to_string(files[f].id) + ", nullptr}, 0, 0, sizeof " +
           name + ", " + name + "},\n";
  }
  if (blocks.empty() && files.empty()) out += "    {},\n";
  out += "};\n\n}  // namespace\n\nextern \"C\" __attribute__((visibility(\"default\"))) const NbResourceDirectory "
         "NbResources = {\n    kNbResourceMagic, kNbResourceVersion, " +
         std::to_string(blocks.size() + files.size()) + ", kEntries};\n";
  return out;
}

}  // namespace nb::rcgen
