// Module file names between Windows and the host.
#include "nb/win/module_names.h"

#include <winerror.h>

#include "nb/text.h"
#include "nb/win/drives.h"
#include "nb/win/host_path.h"

namespace nb::win {

namespace {

bool StartsWithIgnoringCase(std::u16string_view text, std::u16string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char16_t a = text[i], b = prefix[i];
    if (a >= u'A' && a <= u'Z') a = static_cast<char16_t>(a - u'A' + u'a');
    if (b >= u'A' && b <= u'Z') b = static_cast<char16_t>(b - u'A' + u'a');
    if (a != b) return false;
  }
  return true;
}

}  // namespace

std::u16string WindowsNameOfHostFile(std::string_view hostPath) {
  // The drive whose folder is the longest prefix of the path, at a component boundary.
  WCHAR bestLetter = 0;
  size_t bestLength = 0;
  for (WCHAR letter = u'A'; letter <= u'Z'; ++letter) {
    std::optional<std::string> folder = DriveFolder(letter);
    if (!folder || folder->empty()) continue;
    std::string_view root = *folder;
    while (root.size() > 1 && root.back() == '/') root.remove_suffix(1);
    if (!hostPath.starts_with(root)) continue;
    if (hostPath.size() > root.size() && hostPath[root.size()] != '/' && root != "/") continue;
    if (!bestLetter || root.size() > bestLength) {
      bestLetter = letter;
      bestLength = root.size();
    }
  }
  std::u16string name;
  if (!bestLetter) {
    name = kUnixPathPrefix;
    name += nb::text::Utf8ToUtf16(hostPath);
    return name;
  }
  name = {bestLetter, u':', u'\\'};
  std::string_view rest = hostPath.substr(bestLength);
  while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
  for (char16_t c : nb::text::Utf8ToUtf16(rest)) name += c == u'/' ? u'\\' : c;
  return name;
}

std::optional<std::string> HostPathOfModuleFile(std::u16string_view name, DWORD* error) {
  *error = ERROR_SUCCESS;
  if (StartsWithIgnoringCase(name, kUnixPathPrefix)) {
    std::u16string_view rest = name.substr(kUnixPathPrefix.size());
    if (rest.empty() || rest.front() != u'/' || rest.find(u'\0') != std::u16string_view::npos) {
      *error = ERROR_MOD_NOT_FOUND;
      return std::nullopt;
    }
    return nb::text::Utf16ToUtf8(rest);
  }
  std::optional<std::string> host = HostPathOf(nb::text::Utf16ToUtf8(name));
  if (!host) *error = ERROR_MOD_NOT_FOUND;
  return host;
}

std::u16string WithModuleExtension(std::u16string_view name) {
  size_t separator = name.find_last_of(u"\\/");
  std::u16string_view leaf = separator == std::u16string_view::npos ? name : name.substr(separator + 1);
  std::u16string result(name);
  if (!leaf.empty() && leaf.back() == u'.') {
    result.pop_back();
  } else if (leaf.find(u'.') == std::u16string_view::npos) {
    result += u".dll";
  }
  return result;
}

}  // namespace nb::win
