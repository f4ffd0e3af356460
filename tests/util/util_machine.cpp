// The utility library's test machine.
#include "util_machine.h"

#include <stdlib.h>

#include "driver.h"
#include "nb/win/drives.h"
#include "nbdv.h"

namespace util_test {

UtilMachine::UtilMachine() {
  char pattern[] = "/tmp/nbutil-XXXXXX";
  if (!mkdtemp(pattern)) {
    status_ = STATUS_UNSUCCESSFUL;
    return;
  }
  top_ = pattern;
  transport_.ActAsUser(0);
  for (auto [letter, type, serial] : {std::tuple{'C', nb::kernel::VolumeType::kFixed, kSerialC},
                                      std::tuple{'D', nb::kernel::VolumeType::kFixed, kSerialD},
                                      std::tuple{'E', nb::kernel::VolumeType::kRemovable, kSerialE}}) {
    if (NT_SUCCESS(status_)) status_ = AddFolderVolume(letter, type, serial);
  }
  if (NT_SUCCESS(status_)) {
    nb::kernel::VolumeParameters remote;
    remote.letter = 'Z';
    remote.type = nb::kernel::VolumeType::kRemote;
    status_ = AddVolume(remote);
  }
  if (NT_SUCCESS(status_)) status_ = LoadDriver(u"\\Driver\\nbfs36", nbfsDriverEntry);
  if (NT_SUCCESS(status_)) status_ = LoadDriver(u"\\Driver\\nbdv15", nbdvDriverEntry);
  MakeFolder('C', "\\Windows\\TEMP");
  MakeFolder('C', "\\Windows\\Application Data\\NB");
  MakeKey(kServiceKey);
}

UtilMachine::~UtilMachine() {
  nb::win::UnmapAllDrives();
  std::error_code ignored;
  if (!top_.empty()) std::filesystem::remove_all(top_, ignored);
}

NTSTATUS UtilMachine::AddFolderVolume(char letter, nb::kernel::VolumeType type, ULONG serial) {
  nb::kernel::VolumeParameters parameters;
  parameters.letter = letter;
  parameters.type = type;
  parameters.serial = serial;
  parameters.hostFolder = Folder(letter).string();
  std::filesystem::create_directories(parameters.hostFolder);
  NTSTATUS status = AddVolume(parameters);
  if (NT_SUCCESS(status)) nb::win::MapDrive(static_cast<WCHAR>(letter), parameters.hostFolder);
  return status;
}

std::filesystem::path UtilMachine::MakeFolder(char letter, const std::string& path) {
  std::string relative = path;
  for (char& c : relative) {
    if (c == '\\') c = '/';
  }
  std::filesystem::path folder = Folder(letter) / relative.substr(relative.find_first_not_of('/'));
  std::filesystem::create_directories(folder);
  return folder;
}

void UtilMachine::MakeKey(const char16_t* path) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

void UtilMachine::DeleteValue(const char16_t* path, const char16_t* name) {
  HKEY key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  RegDeleteValueW(key, name);
  RegCloseKey(key);
}

void UtilMachine::SetValue(const char16_t* path, const char16_t* name, DWORD type, const void* data, DWORD size) {
  HKEY key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
  RegCloseKey(key);
}

}  // namespace util_test
