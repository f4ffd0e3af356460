// Volume records in the hive.
#include "volume_records.h"

#include <cstdio>
#include <cstdlib>

#include "nb/text.h"

namespace nb::host {

namespace {

// The machine writes its own keys as root, from the System process.
constexpr kernel::RegistryCaller kMachine{0, 4};

// Closes a key of the hive at the end of a scope.
class HiveKey {
 public:
  explicit HiveKey(kernel::RegistryHive& hive) : hive_(hive) {}
  ~HiveKey() {
    if (key_) (void)hive_.CloseKey(kMachine, key_);
  }
  HiveKey(const HiveKey&) = delete;
  HiveKey& operator=(const HiveKey&) = delete;
  kernel::RegistryHandle* Out() { return &key_; }
  kernel::RegistryHandle get() const { return key_; }

 private:
  kernel::RegistryHive& hive_;
  kernel::RegistryHandle key_ = 0;
};

std::u16string SerialKeyName(ULONG serial) {
  char name[16];
  std::snprintf(name, sizeof name, "%08X", static_cast<unsigned>(serial));
  return nb::text::Utf8ToUtf16(name);
}

bool ParseSerialKeyName(const std::u16string& name, ULONG* serial) {
  if (name.size() != 8) return false;
  std::string text = nb::text::Utf16ToUtf8(name);
  char* end = nullptr;
  unsigned long value = std::strtoul(text.c_str(), &end, 16);
  if (*end || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos || value == 0) return false;
  *serial = static_cast<ULONG>(value);
  return true;
}

NTSTATUS SetString(kernel::RegistryHive& hive, kernel::RegistryHandle key, std::u16string_view name,
                   const std::string& value) {
  std::u16string wide = nb::text::Utf8ToUtf16(value);
  wide.push_back(u'\0');
  return hive.SetValue(kMachine, key, name, REG_SZ, wide.data(), wide.size() * sizeof(char16_t));
}

NTSTATUS SetNumber(kernel::RegistryHive& hive, kernel::RegistryHandle key, std::u16string_view name, ULONG value) {
  BYTE data[4];
  for (size_t i = 0; i < 4; ++i) data[i] = static_cast<BYTE>(value >> (8 * i));
  return hive.SetValue(kMachine, key, name, REG_DWORD, data, sizeof data);
}

bool GetString(kernel::RegistryHive& hive, kernel::RegistryHandle key, std::u16string_view name, std::string* value) {
  ULONG type = 0;
  std::vector<BYTE> data;
  if (!NT_SUCCESS(hive.QueryValue(kMachine, key, name, &type, &data)) || type != REG_SZ || data.size() % 2) {
    return false;
  }
  std::u16string wide(data.size() / 2, u'\0');
  for (size_t i = 0; i < wide.size(); ++i) wide[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  wide = wide.substr(0, wide.find(u'\0'));
  *value = nb::text::Utf16ToUtf8(wide);
  return true;
}

bool GetNumber(kernel::RegistryHive& hive, kernel::RegistryHandle key, std::u16string_view name, ULONG* value) {
  ULONG type = 0;
  std::vector<BYTE> data;
  if (!NT_SUCCESS(hive.QueryValue(kMachine, key, name, &type, &data)) || type != REG_DWORD || data.size() != 4) {
    return false;
  }
  *value = data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<ULONG>(data[3]) << 24);
  return true;
}

// The record under one serial's key; false when it is not whole.
bool ReadRecord(kernel::RegistryHive& hive, kernel::RegistryHandle parent, const std::u16string& name,
                VolumeRecord* record) {
  if (!ParseSerialKeyName(name, &record->serial)) return false;
  HiveKey key(hive);
  if (!NT_SUCCESS(hive.OpenKey(kMachine, parent, RegistryRoot::kLocalMachine, name, KEY_READ, false, key.Out()))) {
    return false;
  }
  std::string letter;
  ULONG type = 0, overmount = 0, present = 0;
  if (!GetString(hive, key.get(), u"Letter", &letter) || !GetNumber(hive, key.get(), u"Type", &type) ||
      !GetString(hive, key.get(), u"Folder", &record->folder) ||
      !GetString(hive, key.get(), u"MountPoint", &record->mountPath) ||
      !GetNumber(hive, key.get(), u"Overmount", &overmount) || !GetNumber(hive, key.get(), u"Present", &present)) {
    return false;
  }
  if (letter.size() != 1 || letter[0] < 'A' || letter[0] > 'Z' || type > 1 || record->folder.empty() ||
      record->folder[0] != '/') {
    return false;
  }
  record->letter = letter[0];
  record->type = type == 1 ? kernel::VolumeType::kRemovable : kernel::VolumeType::kFixed;
  record->overmount = overmount != 0;
  record->present = present != 0;
  return true;
}

}  // namespace

NTSTATUS ReadVolumeRecords(kernel::RegistryHive& hive, std::vector<VolumeRecord>* records) {
  records->clear();
  HiveKey volumes(hive);
  NTSTATUS status =
      hive.OpenKey(kMachine, 0, RegistryRoot::kLocalMachine, kVolumesKey, KEY_READ, false, volumes.Out());
  if (status == STATUS_OBJECT_NAME_NOT_FOUND) return STATUS_SUCCESS;  // no volume recorded yet
  if (!NT_SUCCESS(status)) return status;
  for (ULONG index = 0;; ++index) {
    std::u16string name;
    LONGLONG written;
    status = hive.EnumerateKey(kMachine, volumes.get(), index, &name, &written);
    if (status == STATUS_NO_MORE_ENTRIES) return STATUS_SUCCESS;
    if (!NT_SUCCESS(status)) return status;
    VolumeRecord record;
    if (ReadRecord(hive, volumes.get(), name, &record)) records->push_back(std::move(record));
  }
}

NTSTATUS WriteVolumeRecord(kernel::RegistryHive& hive, const VolumeRecord& record) {
  HiveKey key(hive);
  std::u16string path = std::u16string(kVolumesKey) + u"\\" + SerialKeyName(record.serial);
  NTSTATUS status = hive.OpenKey(kMachine, 0, RegistryRoot::kLocalMachine, path, KEY_ALL_ACCESS, true, key.Out());
  if (!NT_SUCCESS(status)) return status;
  // Present comes last, so a record cut short by a crash is skipped rather than half-read.
  const std::pair<std::u16string_view, std::string> strings[] = {
      {u"Letter", std::string(1, record.letter)}, {u"Folder", record.folder}, {u"MountPoint", record.mountPath}};
  for (const auto& [name, value] : strings) {
    status = SetString(hive, key.get(), name, value);
    if (!NT_SUCCESS(status)) return status;
  }
  status = SetNumber(hive, key.get(), u"Type", record.type == kernel::VolumeType::kRemovable ? 1 : 0);
  if (NT_SUCCESS(status)) status = SetNumber(hive, key.get(), u"Overmount", record.overmount ? 1 : 0);
  if (NT_SUCCESS(status)) status = SetNumber(hive, key.get(), u"Present", record.present ? 1 : 0);
  return status;
}

}  // namespace nb::host
