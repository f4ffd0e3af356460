// nbrcgen OUTDIR MODULE LANG=FILE... [--file=TYPE:ID=FILE...]: checks the string tables of
// one resource module in every language and writes OUTDIR/MODULE.LANG.cpp for each, with
// the file resources (icons, images) in every language's module; with any fault it prints
// the faults, writes nothing and fails.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

#include "nb/rcgen/string_tables.h"

namespace {

bool ReadFile(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  *text = buffer.str();
  return !in.bad();
}

// Writes only a changed file, so an unchanged table rebuilds nothing.
bool WriteIfChanged(const std::filesystem::path& path, const std::string& text) {
  std::string old;
  if (ReadFile(path.string(), &old) && old == text) return true;
  std::filesystem::path temporary = path;
  temporary += ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!(out << text) || !out.flush()) return false;
  }
  std::error_code error;
  std::filesystem::rename(temporary, path, error);
  return !error;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::cerr << "usage: nbrcgen OUTDIR MODULE LANG=FILE... [--file=TYPE:ID=FILE...]\n";
    return 2;
  }
  std::filesystem::path outDir = argv[1];
  std::string module = argv[2];
  std::vector<std::string> errors;
  std::vector<nb::rcgen::StringTable> tables;
  std::set<std::string> languages;
  std::vector<nb::rcgen::FileResource> files;
  std::set<std::pair<uint16_t, uint16_t>> fileIds;
  for (int i = 3; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument.starts_with("--file=")) {
      nb::rcgen::FileResource file;
      std::string error;
      if (!nb::rcgen::ParseFileResource(argument.substr(7), &file, &error)) {
        errors.push_back("nbrcgen: " + error);
      } else if (!fileIds.insert({file.type, file.id}).second) {
        errors.push_back("nbrcgen: resource " + std::to_string(file.id) + " of type " + std::to_string(file.type) +
                         " given twice");
      } else {
        files.push_back(std::move(file));
      }
      continue;
    }
    size_t equals = argument.find('=');
    nb::rcgen::StringTable table;
    table.language = argument.substr(0, equals);
    table.fileName = equals == std::string::npos ? std::string() : argument.substr(equals + 1);
    if (equals == std::string::npos || table.fileName.empty()) {
      errors.push_back("nbrcgen: expected LANG=FILE, not " + argument);
      continue;
    }
    if (!nb::rcgen::LanguageIdOf(table.language)) {
      errors.push_back("nbrcgen: unknown language " + table.language + " (EN, JP, KO or CH)");
      continue;
    }
    if (!languages.insert(table.language).second) {
      errors.push_back("nbrcgen: language " + table.language + " given twice");
      continue;
    }
    std::string source;
    if (!ReadFile(table.fileName, &source)) {
      errors.push_back(table.fileName + ": cannot be read");
      continue;
    }
    nb::rcgen::ParseStringTable(source, &table, &errors);
    tables.push_back(std::move(table));
  }
  if (errors.empty()) nb::rcgen::CheckTables(tables, &errors);
  if (!errors.empty()) {
    for (const std::string& error : errors) std::cerr << error << "\n";
    std::cerr << "nbrcgen: " << module << ": " << errors.size() << " error(s), nothing written\n";
    return 1;
  }
  std::error_code error;
  std::filesystem::create_directories(outDir, error);
  for (const nb::rcgen::StringTable& table : tables) {
    std::filesystem::path out = outDir / (module + "." + table.language + ".cpp");
    if (!WriteIfChanged(out, nb::rcgen::ModuleSource(module, table, *nb::rcgen::LanguageIdOf(table.language), files))) {
      std::cerr << out.string() << ": cannot be written\n";
      return 1;
    }
  }
  return 0;
}
