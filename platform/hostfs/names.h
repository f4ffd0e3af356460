// Names on a hostfs volume: parsing and checking NT paths from the volume root, joining
// them, and turning them into paths below the backing folder.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <ntifs.h>

namespace nb::hostfs {

// Longest name of one path component, in UTF-16 units.
inline constexpr size_t kMaxComponentLength = 255;

struct ParsedPath {
  std::vector<std::u16string> components;  // empty for the root
  bool trailingSeparator = false;          // "\dir\": the target must be a directory
};

// Checks one component: not empty, not "." or "..", no separators, wildcards, stream
// colons, control characters, lone surrogates or characters NTFS refuses, at most 255 units.
[[nodiscard]] NTSTATUS CheckComponent(std::u16string_view name);
// Parses "\", "\a\b" or "\a\b\" into checked components; anything else is an invalid name.
[[nodiscard]] NTSTATUS ParsePath(std::u16string_view path, ParsedPath* parsed);

// "\" + name below the root, directory + "\" + name elsewhere.
std::u16string JoinPath(std::u16string_view directory, std::u16string_view name);
// The NT path of components from the root ("\" for none).
std::u16string NtPath(const std::vector<std::u16string>& components, size_t count);
// The path below the backing folder ("." for the root) in the host's UTF-8.
std::string HostPath(const std::vector<std::u16string>& components, size_t count);
// The directory holding `path` ("\" for a child of the root) and the last component.
std::u16string_view ParentOf(std::u16string_view path);
std::u16string_view LeafOf(std::u16string_view path);
// Whether `path` is `ancestor` or lies below it.
bool IsSameOrBelow(std::u16string_view path, std::u16string_view ancestor);

}  // namespace nb::hostfs
