// The resource calls: FindResourceW/FindResourceExW, LoadResource, LockResource,
// SizeofResource, and LoadStringW over a module's RT_STRING blocks.
#include <charconv>
#include <cstring>

#include <windows.h>

#include "loaded_modules.h"

namespace nb::win {

namespace {

char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }

// A name or type as the caller gave it: an integer id, "#number", or a name.
struct Wanted {
  bool byId = false;
  uint32_t id = 0;
  std::u16string_view text;
  bool valid = true;
};

Wanted WantedOf(LPCWSTR value) {
  Wanted wanted;
  if (IS_INTRESOURCE(value)) {
    wanted.byId = true;
    wanted.id = static_cast<uint32_t>(reinterpret_cast<ULONG_PTR>(value));
    return wanted;
  }
  std::u16string_view text(value);
  if (!text.empty() && text.front() == u'#') {
    wanted.byId = true;
    std::string digits;
    for (char16_t c : text.substr(1)) {
      if (c < u'0' || c > u'9') return Wanted{false, 0, {}, false};
      digits += static_cast<char>(c);
    }
    uint16_t number;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) return Wanted{false, 0, {}, false};
    wanted.id = number;
    return wanted;
  }
  wanted.text = text;
  return wanted;
}

bool Matches(const NbResourceId& id, const Wanted& wanted) {
  if (!wanted.valid) return false;
  if (wanted.byId) return !id.text && id.id == wanted.id;
  if (!id.text) return false;
  size_t i = 0;
  for (; i < wanted.text.size(); ++i) {
    if (!id.text[i] || Upper(id.text[i]) != Upper(wanted.text[i])) return false;
  }
  return id.text[i] == 0;
}

bool IsValidValue(LPCWSTR value) { return value != nullptr; }

// The entry of `directory` for type, name and language (0: the first of any language).
const NbResourceEntry* Find(const NbResourceDirectory* directory, LPCWSTR type, LPCWSTR name, WORD language,
                            DWORD* error) {
  if (!directory) {
    *error = ERROR_RESOURCE_DATA_NOT_FOUND;
    return nullptr;
  }
  Wanted wantedType = WantedOf(type), wantedName = WantedOf(name);
  *error = ERROR_RESOURCE_TYPE_NOT_FOUND;
  for (uint32_t i = 0; i < directory->count; ++i) {
    const NbResourceEntry& entry = directory->entries[i];
    if (!Matches(entry.type, wantedType)) continue;
    if (*error == ERROR_RESOURCE_TYPE_NOT_FOUND) *error = ERROR_RESOURCE_NAME_NOT_FOUND;
    if (!Matches(entry.name, wantedName)) continue;
    *error = ERROR_RESOURCE_LANG_NOT_FOUND;
    if (language && entry.language != language) continue;
    *error = ERROR_SUCCESS;
    return &entry;
  }
  return nullptr;
}

// Whether `resource` is an entry of the module's directory.
const NbResourceEntry* EntryOf(const LoadedModule& module, HRSRC resource) {
  const NbResourceDirectory* directory = module.resources();
  if (!directory || !resource) return nullptr;
  auto* entry = reinterpret_cast<const NbResourceEntry*>(resource);
  for (uint32_t i = 0; i < directory->count; ++i) {
    if (&directory->entries[i] == entry) return entry;
  }
  return nullptr;
}

HRSRC FindIn(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language) {
  if (!IsValidValue(type) || !IsValidValue(name)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  DWORD error;
  std::shared_ptr<const LoadedModule> loaded = ModuleOfHandle(module, &error);
  if (!loaded) {
    SetLastError(error);
    return nullptr;
  }
  const NbResourceEntry* entry = Find(loaded->resources(), type, name, language, &error);
  if (!entry) SetLastError(error);
  return reinterpret_cast<HRSRC>(const_cast<NbResourceEntry*>(entry));
}

}  // namespace

}  // namespace nb::win

HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) { return nb::win::FindIn(module, type, name, 0); }

HRSRC FindResourceExW(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language) {
  return nb::win::FindIn(module, type, name, language);
}

HGLOBAL LoadResource(HMODULE module, HRSRC resource) {
  DWORD error;
  std::shared_ptr<const nb::win::LoadedModule> loaded = nb::win::ModuleOfHandle(module, &error);
  const NbResourceEntry* entry = loaded ? nb::win::EntryOf(*loaded, resource) : nullptr;
  if (!entry) {
    SetLastError(loaded ? ERROR_RESOURCE_DATA_NOT_FOUND : error);
    return nullptr;
  }
  return const_cast<void*>(entry->data);
}

LPVOID LockResource(HGLOBAL resourceData) { return resourceData; }

DWORD SizeofResource(HMODULE module, HRSRC resource) {
  DWORD error;
  std::shared_ptr<const nb::win::LoadedModule> loaded = nb::win::ModuleOfHandle(module, &error);
  const NbResourceEntry* entry = loaded ? nb::win::EntryOf(*loaded, resource) : nullptr;
  if (!entry) {
    SetLastError(loaded ? ERROR_RESOURCE_DATA_NOT_FOUND : error);
    return 0;
  }
  return entry->size;
}

int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int bufferMax) {
  if (!buffer || bufferMax < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto fail = [&](DWORD error) {
    if (bufferMax > 0) buffer[0] = 0;
    SetLastError(error);
    return 0;
  };
  DWORD error;
  std::shared_ptr<const nb::win::LoadedModule> loaded = nb::win::ModuleOfHandle(instance, &error);
  if (!loaded) return fail(error);
  if (id > 0xFFFF) return fail(ERROR_RESOURCE_NAME_NOT_FOUND);
  const NbResourceEntry* block =
      nb::win::Find(loaded->resources(), RT_STRING, MAKEINTRESOURCEW((id >> 4) + 1), 0, &error);
  if (!block) return fail(error == ERROR_RESOURCE_DATA_NOT_FOUND ? error : ERROR_RESOURCE_NAME_NOT_FOUND);
  // 16 strings, each a length in UTF-16 units followed by that many units; every length is
  // checked against the block before it is followed.
  auto* units = static_cast<const WCHAR*>(block->data);
  size_t count = block->size / sizeof(WCHAR), at = 0;
  for (UINT index = 0; index < (id & 15); ++index) {
    if (at >= count) return fail(ERROR_RESOURCE_NAME_NOT_FOUND);
    at += 1 + size_t{units[at]};
  }
  if (at >= count || units[at] == 0 || units[at] > count - at - 1) return fail(ERROR_RESOURCE_NAME_NOT_FOUND);
  const WCHAR* text = units + at + 1;
  int length = units[at];
  if (bufferMax == 0) {
    std::memcpy(buffer, &text, sizeof text);  // the caller's buffer is a pointer's storage
    return length;
  }
  int copied = length < bufferMax - 1 ? length : bufferMax - 1;
  std::memcpy(buffer, text, static_cast<size_t>(copied) * sizeof(WCHAR));
  buffer[copied] = 0;
  return copied;
}
