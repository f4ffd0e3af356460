// The Windows environment of a process: the machine's variables from its hive, the
// caller's USERPROFILE and USERNAME, and the Windows and system folders.
#include "nb/win/environment.h"

#include <pwd.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include <windows.h>

#include "machine_values.h"
#include "nb/machine_defaults.h"
#include "nb/text.h"

namespace nb::win {

namespace {

constexpr size_t kMaxVariableUnits = 32767;  // the longest environment text Windows takes

char16_t FoldAscii(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }

struct Variable {
  std::u16string value;
  DWORD type = REG_SZ;
};

// The variables as seen by one call: the hive is read once per call, so a change there
// shows in the next call.
class Environment {
 public:
  Environment() : machine_(HKEY_LOCAL_MACHINE, nb::machine::kEnvironmentKey) {}

  std::optional<std::u16string> Get(std::u16string_view name) const {
    // The empty name would be the key's default value, which is no variable.
    if (name.empty() || name.find(u'=') != std::u16string_view::npos) return std::nullopt;
    if (auto own = CallerVariable(name)) return own;
    std::optional<Variable> variable = MachineVariable(name);
    if (!variable) return std::nullopt;
    if (variable->type != REG_EXPAND_SZ) return variable->value;
    // An expandable value refers to plain values only, so no value can refer to itself.
    return ExpandVariables(variable->value, [this](std::u16string_view inner) -> std::optional<std::u16string> {
      if (auto own = CallerVariable(inner)) return own;
      std::optional<Variable> plain = MachineVariable(inner);
      if (!plain || plain->type == REG_EXPAND_SZ) return std::nullopt;
      return plain->value;
    });
  }

 private:
  static std::optional<std::u16string> CallerVariable(std::u16string_view name) {
    if (SameVariableName(name, u"USERNAME")) return ProfileUserName(static_cast<uint32_t>(::geteuid()));
    if (SameVariableName(name, u"USERPROFILE")) {
      std::u16string profile(nb::machine::kProfilesFolder);
      return profile + u"\\" + ProfileUserName(static_cast<uint32_t>(::geteuid()));
    }
    return std::nullopt;
  }

  // From the hive; the machine's defaults when its environment key cannot be read (no
  // machine, or one that never booted).
  std::optional<Variable> MachineVariable(std::u16string_view name) const {
    Variable variable;
    if (machine_.opened()) {
      std::optional<std::u16string> value = machine_.String(name, &variable.type);
      if (!value) return std::nullopt;
      variable.value = std::move(*value);
      return variable;
    }
    for (const auto& fallback : nb::machine::kEnvironmentDefaults) {
      if (SameVariableName(fallback.name, name)) return Variable{std::u16string(fallback.value), fallback.type};
    }
    return std::nullopt;
  }

  SettingsKey machine_;
};

// Copies `text` out by the rule of the folder and variable calls: the characters stored
// without the NUL, or the size needed with it when the buffer is too small.
DWORD CopyOut(const std::u16string& text, LPWSTR buffer, DWORD size) {
  auto length = static_cast<DWORD>(text.size());
  if (!buffer || size <= length) return length + 1;
  std::memcpy(buffer, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
  return length;
}

std::u16string DefaultOf(std::u16string_view name) {
  for (const auto& fallback : nb::machine::kEnvironmentDefaults) {
    if (fallback.name == name) return std::u16string(fallback.value);
  }
  return {};
}

std::u16string WindowsDirectory() {
  std::optional<std::u16string> root = Environment().Get(u"SystemRoot");
  return root && !root->empty() ? *root : DefaultOf(u"SystemRoot");
}

}  // namespace

std::u16string ExpandVariables(std::u16string_view text, const VariableLookup& lookup) {
  std::u16string out;
  size_t at = 0;
  while (at < text.size()) {
    size_t open = text.find(u'%', at);
    if (open == std::u16string_view::npos) {
      out += text.substr(at);
      break;
    }
    out += text.substr(at, open - at);
    size_t close = text.find(u'%', open + 1);
    if (close == std::u16string_view::npos) {
      out += text.substr(open);
      break;
    }
    std::u16string_view name = text.substr(open + 1, close - open - 1);
    std::optional<std::u16string> value = name.empty() ? std::nullopt : lookup(name);
    if (value) {
      out += *value;
    } else {
      out += text.substr(open, close - open + 1);
    }
    at = close + 1;
  }
  return out;
}

bool SameVariableName(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

std::u16string ProfileUserName(uint32_t uid) {
  if (uid == 0) return std::u16string(nb::machine::kRootProfileName);
  std::vector<char> buffer(16384);
  passwd entry;
  passwd* found = nullptr;
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_name &&
      found->pw_name[0]) {
    return nb::text::Utf8ToUtf16(found->pw_name);
  }
  return nb::text::Utf8ToUtf16(std::to_string(uid));
}

}  // namespace nb::win

DWORD ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR destination, DWORD size) {
  if (!source) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::u16string_view text(source, nb::text::Utf16Length(source, nb::win::kMaxVariableUnits));
  nb::win::Environment environment;
  std::u16string expanded =
      nb::win::ExpandVariables(text, [&](std::u16string_view name) { return environment.Get(name); });
  auto needed = static_cast<DWORD>(expanded.size() + 1);
  if (destination && size >= needed) std::memcpy(destination, expanded.c_str(), needed * sizeof(WCHAR));
  return needed;
}

DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) {
  std::optional<std::u16string> value;
  if (name)
    value =
        nb::win::Environment().Get(std::u16string_view(name, nb::text::Utf16Length(name, nb::win::kMaxVariableUnits)));
  if (!value) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  return nb::win::CopyOut(*value, buffer, size);
}

UINT GetWindowsDirectoryW(LPWSTR buffer, UINT size) {
  return nb::win::CopyOut(nb::win::WindowsDirectory(), buffer, size);
}

UINT GetSystemDirectoryW(LPWSTR buffer, UINT size) {
  return nb::win::CopyOut(nb::win::WindowsDirectory() + u"\\system32", buffer, size);
}
