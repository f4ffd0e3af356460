// Parsing, checking and joining the names of a hostfs volume.
#include "names.h"

#include "nb/text.h"

namespace nb::hostfs {

NTSTATUS CheckComponent(std::u16string_view name) {
  if (name.empty() || name.size() > kMaxComponentLength) return STATUS_OBJECT_NAME_INVALID;
  if (name == u"." || name == u"..") return STATUS_OBJECT_NAME_INVALID;
  for (size_t i = 0; i < name.size(); ++i) {
    char16_t c = name[i];
    if (c < 0x20) return STATUS_OBJECT_NAME_INVALID;
    // A surrogate must be half of a pair: a lone one has no host spelling of its own.
    if (c >= 0xD800 && c < 0xDC00) {
      if (i + 1 == name.size() || name[i + 1] < 0xDC00 || name[i + 1] >= 0xE000) return STATUS_OBJECT_NAME_INVALID;
      ++i;
      continue;
    }
    if (c >= 0xDC00 && c < 0xE000) return STATUS_OBJECT_NAME_INVALID;
    switch (c) {
      case u'\\':
      case u'/':
      case u':':
      case u'*':
      case u'?':
      case u'"':
      case u'<':
      case u'>':
      case u'|':
        return STATUS_OBJECT_NAME_INVALID;
      default:
        break;
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS ParsePath(std::u16string_view path, ParsedPath* parsed) {
  parsed->components.clear();
  parsed->trailingSeparator = false;
  if (path.empty() || path.front() != u'\\') return STATUS_OBJECT_NAME_INVALID;
  if (path.size() == 1) return STATUS_SUCCESS;
  path.remove_prefix(1);
  if (path.back() == u'\\') {
    parsed->trailingSeparator = true;
    path.remove_suffix(1);
  }
  while (true) {
    size_t separator = path.find(u'\\');
    std::u16string_view component = path.substr(0, separator);
    NTSTATUS status = CheckComponent(component);
    if (!NT_SUCCESS(status)) return status;
    parsed->components.emplace_back(component);
    if (separator == std::u16string_view::npos) return STATUS_SUCCESS;
    path.remove_prefix(separator + 1);
  }
}

std::u16string JoinPath(std::u16string_view directory, std::u16string_view name) {
  std::u16string joined(directory);
  if (joined.empty() || joined.back() != u'\\') joined += u'\\';
  joined += name;
  return joined;
}

std::u16string NtPath(const std::vector<std::u16string>& components, size_t count) {
  if (count == 0) return u"\\";
  std::u16string path;
  for (size_t i = 0; i < count; ++i) {
    path += u'\\';
    path += components[i];
  }
  return path;
}

std::string HostPath(const std::vector<std::u16string>& components, size_t count) {
  if (count == 0) return ".";
  std::string path;
  for (size_t i = 0; i < count; ++i) {
    if (i) path += '/';
    path += nb::text::Utf16ToUtf8(components[i]);
  }
  return path;
}

std::u16string_view ParentOf(std::u16string_view path) {
  size_t separator = path.rfind(u'\\');
  if (separator == std::u16string_view::npos || separator == 0) return u"\\";
  return path.substr(0, separator);
}

std::u16string_view LeafOf(std::u16string_view path) {
  size_t separator = path.rfind(u'\\');
  return separator == std::u16string_view::npos ? path : path.substr(separator + 1);
}

bool IsSameOrBelow(std::u16string_view path, std::u16string_view ancestor) {
  if (ancestor == u"\\") return !path.empty() && path.front() == u'\\';
  if (path.size() < ancestor.size() || path.substr(0, ancestor.size()) != ancestor) return false;
  return path.size() == ancestor.size() || path[ancestor.size()] == u'\\';
}

}  // namespace nb::hostfs
