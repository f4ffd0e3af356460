// A host-backed drive X: with the filter driver loaded and registered on it, and helpers
// to act on it as different processes.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver.h"
#include "driver_test_support.h"
#include "host_volume_fixture.h"
#include "listing_filter.h"

namespace nbfs_test {

using nb::hostfs::testing::Opened;

class FilteredVolumeTest : public nb::hostfs::testing::HostVolumeTest {
 protected:
  void SetUp() override {
    HostVolumeTest::SetUp();
    ASSERT_EQ(machine_.LoadDriver(u"\\Driver\\nbfs36", nbfsDriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(Control(ADD_SERVICE, Entry('X')), STATUS_SUCCESS);
    ULONG records = 64;
    ASSERT_EQ(Control(LOG_START, &records, sizeof records), STATUS_SUCCESS);
    app = machine_.Process("app.exe", 1000);
    reader = machine_.Process("reader.exe", 1001);
    writer = machine_.Process("writer.exe", 1002);
    network = machine_.Process("smbd.exe", 1003);
  }

  NTSTATUS Control(ULONG code, const void* input, ULONG inputLength, void* output = nullptr, ULONG outputLength = 0) {
    return machine_.DeviceControl(NBFS_LINK_NAME, code, input, inputLength, output, outputLength);
  }
  NTSTATUS Control(ULONG code, const NBFS_ENTRY& entry) { return Control(code, &entry, sizeof entry); }
  NTSTATUS Lock(const std::u16string& path, ULONG type, ULONG timeout = 0) {
    return Control(ADD_ENTRY, Entry('X', path, type, timeout));
  }
  NTSTATUS Trust(const std::u16string& path, PEPROCESS process, ULONG permission) {
    NBFS_PROC proc{};
    proc.letter = 'X';
    std::memcpy(proc.path, path.c_str(), (path.size() + 1) * sizeof(char16_t));
    proc.permission = permission;
    proc.pid = nb::kernel::ProcessTable::IdOf(process);
    std::string name = nb::kernel::ProcessTable::NameOf(process);
    std::memcpy(proc.name, name.c_str(), name.size() + 1);
    return Control(ADD_PROC, &proc, sizeof proc);
  }
  std::vector<std::string> Messages() {
    std::vector<std::string> messages;
    NBFS_LOG_RECORD record;
    while (NT_SUCCESS(Control(LOG_READ, nullptr, 0, &record, sizeof record))) messages.push_back(MessageOf(record.text));
    return messages;
  }

  // Opens a path on X: as `process`.
  NTSTATUS OpenAs(PEPROCESS process, std::u16string_view name, ACCESS_MASK access, Opened* file,
                  ULONG options = 0, ULONG disposition = FILE_OPEN, PFILE_OBJECT related = nullptr) {
    nb::kernel::ProcessScope scope(process);
    return Open(name, access, disposition, options, file, nullptr, related);
  }

  // Names a directory query returns, or the failing status as a one-element list.
  std::vector<std::u16string> List(PEPROCESS process, const std::u16string& directory,
                                   FILE_INFORMATION_CLASS cls = FileIdBothDirectoryInformation,
                                   std::optional<std::u16string_view> pattern = std::nullopt,
                                   std::vector<ULONG>* fileIndexes = nullptr) {
    nb::kernel::ProcessScope scope(process);
    Opened dir;
    NTSTATUS status = Open(directory, FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE, &dir);
    if (!NT_SUCCESS(status)) return {u"open failed"};
    std::vector<std::u16string> names;
    ULONG nameLengthOffset, nameOffset;
    DirectoryClassLayout(cls, &nameLengthOffset, &nameOffset);
    for (bool first = true;; first = false) {
      std::vector<unsigned char> buffer(4096);
      nb::kernel::DirectoryQuery query{cls, pattern, static_cast<UCHAR>(first ? SL_RESTART_SCAN : 0), 0};
      status = nb::kernel::QueryDirectory(dir.get(), query, buffer.data(), static_cast<ULONG>(buffer.size()));
      if (status == STATUS_NO_MORE_FILES) break;
      if (!NT_SUCCESS(status)) return {u"status " + nb::text::Utf8ToUtf16(nb::text::Format("%x", status))};
      for (size_t offset = 0;;) {
        ULONG next, index, length;
        std::memcpy(&next, &buffer[offset], 4);
        std::memcpy(&index, &buffer[offset + 4], 4);
        std::memcpy(&length, &buffer[offset + nameLengthOffset], 4);
        names.emplace_back(reinterpret_cast<const char16_t*>(&buffer[offset + nameOffset]), length / 2);
        if (fileIndexes) fileIndexes->push_back(index);
        if (!next) break;
        offset += next;
      }
    }
    return names;
  }

  PEPROCESS app = nullptr;
  PEPROCESS reader = nullptr;
  PEPROCESS writer = nullptr;
  PEPROCESS network = nullptr;
};

}  // namespace nbfs_test
