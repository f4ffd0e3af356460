// Drive paths from nbctl's arguments.
#include "paths.h"

#include "lock_rules.h"
#include "nb/text.h"

namespace nb::nbctl {

namespace {

char16_t Lower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

}  // namespace

DrivePath ToDrivePath(std::string_view argument, const std::string& workingFolder, const HostPathMapper& mapper) {
  DrivePath result;
  if (argument.empty()) {
    result.error = "an empty path names no folder";
    return result;
  }
  if (argument.find('\0') != std::string_view::npos) {
    result.error = "a path cannot hold a NUL character";
    return result;
  }
  std::u16string typed;
  if (argument.size() >= 2 && IsLetter(argument[0]) && argument[1] == ':') {
    typed = nb::text::Utf8ToUtf16(argument);
    if (typed.size() == 2) typed += u'\\';
    if (typed[2] != u'\\' && typed[2] != u'/') {
      result.error = "\"" + std::string(argument) + "\" is not a full drive path (X:\\...)";
      return result;
    }
  } else {
    std::string absolute = argument[0] == '/' ? std::string(argument) : workingFolder + "/" + std::string(argument);
    typed = mapper(absolute);
    if (typed.size() < 3 || typed[1] != u':') {
      result.error = "\"" + std::string(argument) + "\" lies on no drive of the machine";
      return result;
    }
  }
  std::u16string normalized;
  if (!nb::dialogs::NormalizeFolderPath(typed, &normalized)) {
    result.error = "\"" + std::string(argument) + "\" is not a drive path";
    return result;
  }
  result.path = std::move(normalized);
  return result;
}

bool SameDrivePath(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

bool LockAnswersTo(const _LCK_INFORMAION& lock, std::u16string_view path) {
  std::u16string below = lock.type == LCK_TYPE_DRIVE
                             ? u"\\"
                             : std::u16string(lock.path, nb::text::Utf16Length(lock.path, LCK_PATH_UNITS));
  for (char16_t letter : {lock.drive, lock.realDrive}) {
    if (letter && SameDrivePath(std::u16string{letter, u':'} + below, path)) return true;
  }
  return false;
}

}  // namespace nb::nbctl
