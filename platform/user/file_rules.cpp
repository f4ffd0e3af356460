// Object names, attributes and find patterns of the Win32 file calls on drives.
#include "nb/win/file_rules.h"

#include <winerror.h>

namespace nb::win {

namespace {

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// Characters neither a name nor a Win32 wildcard may hold; "<", ">" and '"' are the
// file system's own wildcards, which a caller may not send.
bool IsValidPatternCharacter(char16_t c) {
  if (c < 0x20) return false;
  switch (c) {
    case u'<':
    case u'>':
    case u':':
    case u'"':
    case u'|':
      return false;
    default:
      return true;
  }
}

}  // namespace

std::u16string VolumePathOf(std::u16string_view relative) {
  std::u16string path = u"\\";
  for (char16_t c : relative) path += c == u'/' ? u'\\' : c;
  return path;
}

std::u16string DriveObjectName(WCHAR letter, std::u16string_view relative) {
  std::u16string name = u"\\DosDevices\\";
  name += letter;
  name += u':';
  return name + VolumePathOf(relative);
}

DWORD Win32AttributesOf(ULONG fileSystemAttributes) {
  if (fileSystemAttributes & FILE_ATTRIBUTE_DIRECTORY) return FILE_ATTRIBUTE_DIRECTORY;
  return FILE_ATTRIBUTE_ARCHIVE | (fileSystemAttributes & FILE_ATTRIBUTE_READONLY);
}

bool ParseFindPath(std::u16string_view path, FindPath* find, DWORD* error) {
  *find = FindPath{};
  size_t split = path.find_last_of(u"\\/");
  // "X:pattern" has its folder before the pattern too.
  if (split == std::u16string_view::npos && path.size() >= 2 && path[1] == u':') split = 1;
  if (split == std::u16string_view::npos) {
    *error = ERROR_PATH_NOT_FOUND;  // no drive: this platform keeps no current folder
    return false;
  }
  std::u16string_view folder = path.substr(0, split + 1);
  std::u16string_view pattern = path.substr(split + 1);
  // "\\.\" or "\\?\" alone has no folder.
  if (folder.size() <= 4 && folder.size() >= 2 && IsSeparator(folder[0]) && IsSeparator(folder[1])) {
    *error = ERROR_INVALID_NAME;
    return false;
  }
  find->directory = ParseWin32Path(folder);
  if (find->directory.kind == PathKind::kInvalid) {
    *error = find->directory.error;
    return false;
  }
  if (find->directory.kind != PathKind::kDriveFile) {
    *error = ERROR_INVALID_NAME;
    return false;
  }
  bool literal = path.size() >= 4 && path[2] == u'?' && IsSeparator(path[0]) && IsSeparator(path[1]);
  if (!literal) {
    while (!pattern.empty() && (pattern.back() == u'.' || pattern.back() == u' ')) pattern.remove_suffix(1);
  }
  if (pattern.empty()) {
    *error = ERROR_FILE_NOT_FOUND;
    return false;
  }
  for (char16_t c : pattern) {
    if (!IsValidPatternCharacter(c)) {
      *error = ERROR_INVALID_NAME;
      return false;
    }
  }
  find->pattern = pattern;
  return true;
}

std::u16string FileSystemPatternOf(std::u16string_view pattern) {
  std::u16string translated(pattern);
  for (size_t i = 0; i < pattern.size(); ++i) {
    char16_t next = i + 1 < pattern.size() ? pattern[i + 1] : u'\0';
    if (pattern[i] == u'?') {
      translated[i] = u'>';
    } else if (pattern[i] == u'*' && next == u'.') {
      translated[i] = u'<';
    } else if (pattern[i] == u'.' && (next == u'?' || next == u'*')) {
      translated[i] = u'"';
    }
  }
  return translated;
}

}  // namespace nb::win
