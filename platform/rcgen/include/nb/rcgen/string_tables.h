// The resource compiler's string tables: readable per-language source files
// ("number<TAB>text" lines, UTF-8, with escapes) read, checked against each other and
// turned into the C++ source of a resource module.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nb::rcgen {

struct StringEntry {
  uint32_t id = 0;
  std::u16string text;
  int line = 0;
};

struct StringTable {
  std::string language;  // "EN", "JP", "KO", "CH"
  std::string fileName;  // for messages
  std::vector<StringEntry> entries;
};

// Reads one source file. Blank lines and lines starting with '#' are skipped; every other
// line is a decimal id (0-65535), one tab and a non-empty text in which \\ \n \r \t and
// \uXXXX are the escapes. Each fault is added to `errors` as "file:line: message";
// false when there was any.
bool ParseStringTable(std::string_view source, StringTable* table, std::vector<std::string>* errors);

// The printf-style arguments a text takes, as the kinds of its conversions in order
// ("int", "wide string", ...). A '*' width or precision takes an int. nullopt with
// `*error` for a conversion a format must not hold (unknown, positional, %n, cut off).
std::optional<std::vector<std::string>> FormatArguments(std::u16string_view text, std::string* error);

// Checks the tables of one module against the first: the same ids in every language and,
// for each id, arguments of the same kinds in the same order; and each text's format on
// its own. False with the faults added to `errors`.
bool CheckTables(const std::vector<StringTable>& tables, std::vector<std::string>* errors);

// The language id of a language code; nullopt for a code the system has no language for.
std::optional<uint16_t> LanguageIdOf(std::string_view code);

// A resource taken whole from a file (an icon, an image), the same in every language.
struct FileResource {
  uint16_t type = 0;  // RT_ICON, RT_RCDATA ...
  uint16_t id = 0;
  std::string fileName;
  std::string bytes;
};

// Reads "TYPE:ID=FILE" (TYPE is ICON, BITMAP or RCDATA, ID 1-65535) and the file's bytes;
// false with `*error`.
bool ParseFileResource(std::string_view argument, FileResource* resource, std::string* error);

// The C++ source of module `moduleName`'s table in one language: RT_STRING blocks, the
// file resources (language neutral) and the exported resource directory.
std::string ModuleSource(const std::string& moduleName, const StringTable& table, uint16_t languageId,
                         const std::vector<FileResource>& files = {});

}  // namespace nb::rcgen
