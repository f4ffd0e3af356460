// Reading the last user from the console's settings file.
#include "profile_file.h"

#include <sstream>

#include <windows.h>

#include "VAULTSdk.h"
#include "nb/text.h"

namespace nb::nbctl {

namespace {

std::u16string Wide(std::string_view utf8) { return nb::text::Utf8ToUtf16(utf8); }

}  // namespace

std::u16string ProfileUser(std::string_view settingsText) {
  std::istringstream lines{std::string(settingsText)};
  std::string line;
  bool inUser = false;
  while (std::getline(lines, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    size_t start = line.find_first_not_of(' ');
    if (start == std::string::npos) continue;
    line = line.substr(start);
    if (line[0] == '[') {
      inUser = line == "[User]";
      continue;
    }
    if (!inUser) continue;
    size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string key = line.substr(0, equals);
    while (!key.empty() && key.back() == ' ') key.pop_back();
    if (key != "User") continue;
    std::string value = line.substr(equals + 1);
    size_t first = value.find_first_not_of(' ');
    value = first == std::string::npos ? "" : value.substr(first);
    bool quoted = value.size() >= 2 && value.front() == '"' && value.back() == '"';
    if (quoted) value = value.substr(1, value.size() - 2);
    // Qt writes backslash escapes: \\, \", and \xHHHH for characters it does not keep as
    // they are.
    std::u16string result;
    for (size_t i = 0; i < value.size();) {
      if (value[i] != '\\' || i + 1 >= value.size()) {
        size_t next = i + 1;
        while (next < value.size() && value[next] != '\\') ++next;
        result += Wide(value.substr(i, next - i));
        i = next;
        continue;
      }
      char escaped = value[i + 1];
      if (escaped == 'x') {
        size_t end = i + 2;
        unsigned code = 0;
        while (end < value.size() && end < i + 6) {
          char digit = value[end];
          int nibble = digit >= '0' && digit <= '9'   ? digit - '0'
                       : digit >= 'a' && digit <= 'f' ? digit - 'a' + 10
                       : digit >= 'A' && digit <= 'F' ? digit - 'A' + 10
                                                      : -1;
          if (nibble < 0) break;
          code = code * 16 + static_cast<unsigned>(nibble);
          ++end;
        }
        if (end == i + 2) return {};
        result += static_cast<char16_t>(code);
        i = end;
      } else {
        result += static_cast<char16_t>(escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped);
        i += 2;
      }
    }
    return result.size() < PWD_USER_UNITS ? result : std::u16string();
  }
  return {};
}

}  // namespace nb::nbctl
