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

std::u16string WindowsNameOfHostFile(std::string_view hostPath) { return DrivePathOf(hostPath); }

std::optional<std::string> HostPathOfModuleFile(std::u16string_view name, DWORD* error) {
  *error = ERROR_SUCCESS;
  if (StartsWithIgnoringCase(name, kUnixPathPrefix)) {
    // "\\?\unix\usr\lib\x.so" names /usr/lib/x.so; forward slashes are taken too.
    std::u16string_view rest = name.substr(kUnixPathPrefix.size());
    while (!rest.empty() && (rest.front() == u'/' || rest.front() == u'\\')) rest.remove_prefix(1);
    if (rest.empty() || rest.find(u'\0') != std::u16string_view::npos) {
      *error = ERROR_MOD_NOT_FOUND;
      return std::nullopt;
    }
    std::string path = "/" + nb::text::Utf16ToUtf8(rest);
    for (char& c : path) c = c == '\\' ? '/' : c;
    return path;
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
