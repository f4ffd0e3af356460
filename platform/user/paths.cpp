// Reading Win32 paths: device names, volumes and drive paths.
#include "nb/win/paths.h"

#include <vector>

#include <winerror.h>

namespace nb::win {

namespace {

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

bool IsDriveLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

WCHAR Upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<WCHAR>(c - u'a' + u'A') : c; }

// Characters Windows never accepts in a file name.
bool IsValidNameCharacter(char16_t c) {
  if (c < 0x20) return false;
  switch (c) {
    case u'<':
    case u'>':
    case u':':
    case u'"':
    case u'|':
    case u'?':
    case u'*':
      return false;
    default:
      return true;
  }
}

Win32Path Invalid(DWORD error) {
  Win32Path path;
  path.error = error;
  return path;
}

// Win32 drops the dots and spaces a name ends with ("C:\Locked." is C:\Locked), so the
// name the file system sees is the one a listing shows and a lock names.
std::u16string_view WithoutTrailingDotsAndSpaces(std::u16string_view component) {
  while (!component.empty() && (component.back() == u'.' || component.back() == u' ')) component.remove_suffix(1);
  return component;
}

// "X:" followed by an optional path below the root. A literal path ("\\?\X:\...") keeps
// its names as written; "." and ".." are resolved in both, never above the root.
Win32Path DrivePath(WCHAR letter, std::u16string_view rest, bool literal) {
  std::vector<std::u16string_view> components;
  size_t at = 0;
  while (at < rest.size()) {
    while (at < rest.size() && IsSeparator(rest[at])) ++at;
    size_t end = at;
    while (end < rest.size() && !IsSeparator(rest[end])) ++end;
    std::u16string_view component = rest.substr(at, end - at);
    at = end;
    if (component.empty() || component == u".") continue;
    if (component == u"..") {
      if (!components.empty()) components.pop_back();
      continue;
    }
    if (!literal) {
      component = WithoutTrailingDotsAndSpaces(component);
      if (component.empty()) continue;  // "..." and the like name the folder itself
    }
    for (char16_t c : component) {
      if (!IsValidNameCharacter(c)) return Invalid(ERROR_INVALID_NAME);
    }
    components.push_back(component);
  }
  Win32Path path;
  path.kind = PathKind::kDriveFile;
  path.letter = letter;
  for (size_t i = 0; i < components.size(); ++i) {
    if (i) path.relative += u'/';
    path.relative += components[i];
  }
  return path;
}

}  // namespace

Win32Path ParseWin32Path(std::u16string_view path) {
  if (path.empty()) return Invalid(ERROR_PATH_NOT_FOUND);
  // "\\.\" and "\\?\" both name the object manager's "\DosDevices\" directory.
  if (path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) && (path[2] == u'.' || path[2] == u'?') &&
      IsSeparator(path[3])) {
    std::u16string_view name = path.substr(4);
    if (name.empty()) return Invalid(ERROR_PATH_NOT_FOUND);
    if (name.size() >= 2 && IsDriveLetter(name[0]) && name[1] == u':') {
      if (name.size() == 2) {
        Win32Path volume;
        volume.kind = PathKind::kVolume;
        volume.letter = Upper(name[0]);
        return volume;
      }
      if (IsSeparator(name[2])) return DrivePath(Upper(name[0]), name.substr(2), path[2] == u'?');
    }
    Win32Path device;
    device.kind = PathKind::kDevice;
    device.objectName = u"\\DosDevices\\";
    device.objectName += name;
    return device;
  }
  if (IsSeparator(path[0]) && path.size() >= 2 && IsSeparator(path[1])) return Invalid(ERROR_BAD_NETPATH);
  if (path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == u':') {
    return DrivePath(Upper(path[0]), path.substr(2), false);
  }
  return Invalid(ERROR_PATH_NOT_FOUND);
}

}  // namespace nb::win
