// CVAULTObj protected folders (GetExceptFolder, CheckExceptFolder, CheckExceptFolderEx)
// and the recent-document shortcuts of a newly locked object (RemoveShotcut).
#include <cstring>
#include <string>

#include <windows.h>
#include <fileapi.h>
#include <objbase.h>

#include "NBUtil.h"
#include "VAULTSdk.h"
#include "lock_records.h"
#include "nb/text.h"

namespace {

// Expanded in this order into exceptFolders; the seventh entry is the folder of the
// profiles, taken from the user's profile.
constexpr const char16_t* kProtectedVariables[] = {u"%CommonProgramFiles%", u"%ProgramFiles%", u"%SystemDrive%",
                                                   u"%SystemRoot%",        u"%USERPROFILE%",  u"%ALLUSERSPROFILE%"};
constexpr size_t kProgramFiles = 1;
constexpr size_t kSystemRoot = 3;
constexpr size_t kUserProfile = 4;
constexpr size_t kProfiles = 6;
constexpr DWORD kMajorVersionWithDeepProtection = 6;

constexpr size_t kTargetUnits = 1024;

bool ExpandInto(const char16_t* source, WCHAR (&out)[VAULT_NAME_UNITS]) {
  DWORD needed = ExpandEnvironmentStringsW(source, out, VAULT_NAME_UNITS);
  if (needed == 0 || needed > VAULT_NAME_UNITS) {
    std::memset(out, 0, sizeof out);  // a text that does not fit names nothing
    return false;
  }
  return true;
}

DWORD MajorVersion() {
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  return GetVersionExW(&version) ? version.dwMajorVersion : 0;
}

std::u16string_view Entry(const WCHAR (&entry)[VAULT_NAME_UNITS]) {
  return vault::FieldText(entry).value_or(std::u16string_view());
}

}  // namespace

void CVAULTObj::GetExceptFolder() {
  std::memset(exceptFolders, 0, sizeof exceptFolders);
  for (size_t i = 0; i < std::size(kProtectedVariables); ++i) ExpandInto(kProtectedVariables[i], exceptFolders[i]);
  std::optional<std::u16string_view> profiles = vault::BeforeSecondBackslash(Entry(exceptFolders[kUserProfile]));
  // The profile itself when it has one backslash only is no folder of profiles.
  if (profiles && profiles->size() < Entry(exceptFolders[kUserProfile]).size()) {
    std::copy(profiles->begin(), profiles->end(), exceptFolders[kProfiles]);
  }
}

int CVAULTObj::CheckExceptFolder(LPCWSTR fullPath) {
  if (!fullPath) return 0;
  GetExceptFolder();
  for (const auto& entry : exceptFolders) {
    if (vault::EqualIgnoringCase(fullPath, Entry(entry))) return 1;
  }
  return CheckExceptFolderEx(fullPath);
}

int CVAULTObj::CheckExceptFolderEx(LPCWSTR fullPath) {
  if (!fullPath || MajorVersion() != kMajorVersionWithDeepProtection) return 0;
  std::optional<std::u16string_view> top = vault::BeforeSecondBackslash(fullPath);
  if (!top) return 0;
  for (size_t index : {kProgramFiles, kSystemRoot}) {
    std::u16string_view entry = Entry(exceptFolders[index]);
    if (!entry.empty() && vault::EqualIgnoringCase(*top, entry)) return 1;
  }
  return 0;
}

int CVAULTObj::RemoveShotcut(_LCK_INFORMAION* lock) {
  if (!lock) return 0;
  WCHAR profile[VAULT_NAME_UNITS];
  if (!ExpandInto(u"%USERPROFILE%", profile)) return 0;
  std::u16string prefix;
  if (lock->type == LCK_TYPE_FOLDER) {
    std::optional<std::u16string_view> path = vault::FieldText(lock->path);
    if (!path) return 0;
    prefix = nb::text::FormatWide(u"%c:%s", lock->drive, std::u16string(*path).c_str());
  } else {
    prefix = nb::text::FormatWide(u"%c:\\", lock->drive);
  }
  std::u16string recent = std::u16string(profile) + u"\\Recent\\";
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((recent + u"*.lnk").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return 0;
  CoInitialize(nullptr);
  do {
    std::u16string name(vault::FieldText(found.cFileName).value_or(u""));
    if (name.empty() || name == u"." || name == u"..") continue;
    std::u16string shortcut = recent + name;
    WCHAR target[kTargetUnits] = {};
    if (!ResolvShotcut(shortcut.c_str(), target)) continue;
    std::u16string_view resolved = vault::FieldText(target).value_or(u"");
    if (resolved.size() >= prefix.size() && vault::EqualIgnoringCase(resolved.substr(0, prefix.size()), prefix)) {
      DeleteFileW(shortcut.c_str());
    }
  } while (FindNextFileW(find, &found));
  CoUninitialize();
  FindClose(find);
  return 1;
}
