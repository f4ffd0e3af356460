// Creates through IRPs on a host-backed volume: dispositions, options, relative opens,
// data, volume opens, and names that try to leave the backing folder.
#include <filesystem>

#include <gtest/gtest.h>

#include "host_volume_fixture.h"

namespace nb::hostfs::testing {
namespace {

using nb::kernel::kCurrentPosition;
using nb::kernel::kEndOfFile;

class CreateTest : public HostVolumeTest {};

TEST_F(CreateTest, DispositionsOnExistingAndMissingFiles) {
  struct Case {
    ULONG disposition;
    bool exists;
    NTSTATUS status;
    ULONG_PTR information;
    std::string contentAfter;  // "-" when the file must not exist
  };
  const Case cases[] = {
      {FILE_SUPERSEDE, true, STATUS_SUCCESS, FILE_SUPERSEDED, ""},
      {FILE_SUPERSEDE, false, STATUS_SUCCESS, FILE_CREATED, ""},
      {FILE_OPEN, true, STATUS_SUCCESS, FILE_OPENED, "old"},
      {FILE_OPEN, false, STATUS_OBJECT_NAME_NOT_FOUND, 0, "-"},
      {FILE_CREATE, true, STATUS_OBJECT_NAME_COLLISION, 0, "old"},
      {FILE_CREATE, false, STATUS_SUCCESS, FILE_CREATED, ""},
      {FILE_OPEN_IF, true, STATUS_SUCCESS, FILE_OPENED, "old"},
      {FILE_OPEN_IF, false, STATUS_SUCCESS, FILE_CREATED, ""},
      {FILE_OVERWRITE, true, STATUS_SUCCESS, FILE_OVERWRITTEN, ""},
      {FILE_OVERWRITE, false, STATUS_OBJECT_NAME_NOT_FOUND, 0, "-"},
      {FILE_OVERWRITE_IF, true, STATUS_SUCCESS, FILE_OVERWRITTEN, ""},
      {FILE_OVERWRITE_IF, false, STATUS_SUCCESS, FILE_CREATED, ""},
  };
  int n = 0;
  for (const auto& c : cases) {
    std::string name = "f" + std::to_string(n++);
    if (c.exists) WriteHost(name, "old");
    Opened file;
    ULONG_PTR information = 99;
    EXPECT_EQ(Open(u"\\" + std::u16string(name.begin(), name.end()), FILE_READ_DATA, c.disposition, 0, &file,
                   &information),
              c.status)
        << name;
    if (NT_SUCCESS(c.status)) {
      EXPECT_EQ(information, c.information) << name;
    }
    file.Reset();
    if (c.contentAfter == "-") {
      EXPECT_FALSE(HostExists(name)) << name;
    } else {
      EXPECT_EQ(ReadHost(name), c.contentAfter) << name;
    }
  }
}

TEST_F(CreateTest, DirectoryOptionsAndMissingPaths) {
  WriteHost("file", "x");
  std::filesystem::create_directory(Host("dir"));
  Opened file;
  EXPECT_EQ(Open(u"\\file", FILE_READ_DATA, FILE_OPEN, FILE_DIRECTORY_FILE, &file), STATUS_NOT_A_DIRECTORY);
  EXPECT_EQ(Open(u"\\dir", FILE_READ_DATA, FILE_OPEN, FILE_NON_DIRECTORY_FILE, &file), STATUS_FILE_IS_A_DIRECTORY);
  EXPECT_EQ(Open(u"\\dir", FILE_WRITE_DATA, FILE_OVERWRITE_IF, 0, &file), STATUS_FILE_IS_A_DIRECTORY);
  EXPECT_EQ(Open(u"\\file\\", FILE_READ_DATA, FILE_OPEN, 0, &file), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(Open(u"\\new", FILE_READ_DATA, FILE_OVERWRITE_IF, FILE_DIRECTORY_FILE, &file), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Open(u"\\file", FILE_READ_DATA, FILE_OPEN, FILE_DELETE_ON_CLOSE, &file), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Open(u"\\file", FILE_READ_DATA, FILE_OPEN, FILE_OPEN_BY_FILE_ID, &file), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(Open(u"\\missing\\f", FILE_READ_DATA, FILE_OPEN_IF, 0, &file), STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(Open(u"\\file\\f", FILE_READ_DATA, FILE_OPEN, 0, &file), STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(Open(u"\\dir\\missing", FILE_READ_DATA, FILE_OPEN, 0, &file), STATUS_OBJECT_NAME_NOT_FOUND);

  ULONG_PTR information = 0;
  ASSERT_EQ(Open(u"\\dir\\made", FILE_LIST_DIRECTORY, FILE_CREATE, FILE_DIRECTORY_FILE, &file, &information),
            STATUS_SUCCESS);
  EXPECT_EQ(information, static_cast<ULONG_PTR>(FILE_CREATED));
  EXPECT_TRUE(std::filesystem::is_directory(Host("dir/made")));
  ASSERT_EQ(Open(u"\\dir\\made\\", FILE_LIST_DIRECTORY, FILE_OPEN_IF, FILE_DIRECTORY_FILE, &file, &information),
            STATUS_SUCCESS);
  EXPECT_EQ(information, static_cast<ULONG_PTR>(FILE_OPENED));
  ASSERT_EQ(Open(u"\\", FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE, &file), STATUS_SUCCESS);
  EXPECT_EQ(Open(u"\\", DELETE, FILE_OPEN, FILE_DELETE_ON_CLOSE, &file), STATUS_CANNOT_DELETE);
}

TEST_F(CreateTest, RelativeOpensJoinTheRelatedDirectory) {
  WriteHost("d/inner/f", "content");
  Opened dir;
  ASSERT_EQ(Open(u"\\d", FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE, &dir), STATUS_SUCCESS);
  Opened file;
  ASSERT_EQ(Open(u"inner\\f", FILE_READ_DATA, FILE_OPEN, 0, &file, nullptr, dir.get()), STATUS_SUCCESS);
  char data[16] = {};
  ULONG read = 0;
  ASSERT_EQ(nb::kernel::ReadFile(file.get(), data, sizeof data, 0, &read), STATUS_SUCCESS);
  EXPECT_EQ(std::string(data, read), "content");

  Opened made;
  ASSERT_EQ(Open(u"new", FILE_WRITE_DATA, FILE_CREATE, 0, &made, nullptr, dir.get()), STATUS_SUCCESS);
  EXPECT_TRUE(HostExists("d/new"));
  Opened again;
  EXPECT_EQ(Open(u"", FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE, &again, nullptr, dir.get()),
            STATUS_SUCCESS);
  EXPECT_EQ(Open(u"\\inner", FILE_READ_DATA, FILE_OPEN, 0, &again, nullptr, dir.get()), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(Open(u"..\\..\\x", FILE_READ_DATA, FILE_OPEN, 0, &again, nullptr, dir.get()),
            STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(Open(u"x", FILE_READ_DATA, FILE_OPEN, 0, &again, nullptr, file.get()), STATUS_INVALID_PARAMETER);
}

TEST_F(CreateTest, NamesAndLinksNeverLeaveTheBackingFolder) {
  std::filesystem::create_directory(top_ / "outside");
  std::ofstream(top_ / "outside" / "secret") << "secret";
  std::filesystem::create_directory(Host("in"));
  std::ofstream(Host("in/ok")) << "ok";
  std::filesystem::create_directory_symlink("../outside", Host("up"));
  std::filesystem::create_directory_symlink((top_ / "outside").string(), Host("absolute"));
  std::filesystem::create_symlink("../outside/secret", Host("secretlink"));
  std::filesystem::create_directory_symlink("in", Host("inlink"));
  std::filesystem::create_directory_symlink("../volume/in", Host("roundabout"));

  struct Case {
    std::u16string name;
    ULONG disposition;
    NTSTATUS status;
  };
  const Case cases[] = {
      {u"\\..\\outside\\secret", FILE_OPEN, STATUS_OBJECT_NAME_INVALID},
      {u"\\in\\..\\..\\outside\\secret", FILE_OPEN, STATUS_OBJECT_NAME_INVALID},
      {u"\\up\\secret", FILE_OPEN, STATUS_ACCESS_DENIED},
      {u"\\absolute\\secret", FILE_OPEN, STATUS_ACCESS_DENIED},
      {u"\\secretlink", FILE_OPEN, STATUS_ACCESS_DENIED},
      {u"\\up\\planted", FILE_CREATE, STATUS_ACCESS_DENIED},
      {u"\\up\\secret", FILE_OVERWRITE_IF, STATUS_ACCESS_DENIED},
      {u"\\roundabout\\ok", FILE_OPEN, STATUS_ACCESS_DENIED},
      // A link inside the volume is not followed either: the name it leads to is judged
      // only where someone names it.
      {u"\\inlink\\ok", FILE_OPEN, STATUS_ACCESS_DENIED},
  };
  for (const auto& c : cases) {
    Opened file;
    EXPECT_EQ(Open(c.name, FILE_READ_DATA | FILE_WRITE_DATA, c.disposition, 0, &file), c.status)
        << nb::text::Utf16ToUtf8(c.name);
  }
  EXPECT_FALSE(std::filesystem::exists(top_ / "outside" / "planted"));
  std::ifstream secret(top_ / "outside" / "secret");
  std::string content;
  secret >> content;
  EXPECT_EQ(content, "secret");
}

TEST_F(CreateTest, ReadAndWriteKeepPositionAndAccess) {
  Opened file;
  ASSERT_EQ(Open(u"\\data", FILE_READ_DATA | FILE_WRITE_DATA, FILE_CREATE, FILE_SYNCHRONOUS_IO_NONALERT, &file),
            STATUS_SUCCESS);
  EXPECT_TRUE(file.get()->Flags & FO_SYNCHRONOUS_IO);
  ULONG done = 0;
  ASSERT_EQ(nb::kernel::WriteFile(file.get(), "hello ", 6, kCurrentPosition, &done), STATUS_SUCCESS);
  ASSERT_EQ(nb::kernel::WriteFile(file.get(), "world", 5, kCurrentPosition, &done), STATUS_SUCCESS);
  EXPECT_EQ(done, 5u);
  EXPECT_EQ(ReadHost("data"), "hello world");
  ASSERT_EQ(nb::kernel::WriteFile(file.get(), "!", 1, kEndOfFile, &done), STATUS_SUCCESS);
  char buffer[8] = {};
  ASSERT_EQ(nb::kernel::ReadFile(file.get(), buffer, 5, 6, &done), STATUS_SUCCESS);
  EXPECT_EQ(std::string(buffer, done), "world");
  ASSERT_EQ(nb::kernel::ReadFile(file.get(), buffer, 8, kCurrentPosition, &done), STATUS_SUCCESS);
  EXPECT_EQ(std::string(buffer, done), "!");
  EXPECT_EQ(nb::kernel::ReadFile(file.get(), buffer, 8, kCurrentPosition, &done), STATUS_END_OF_FILE);
  EXPECT_EQ(done, 0u);

  Opened reader;
  ASSERT_EQ(Open(u"\\data", FILE_READ_DATA, FILE_OPEN, 0, &reader), STATUS_SUCCESS);
  EXPECT_EQ(nb::kernel::WriteFile(reader.get(), "x", 1, 0, &done), STATUS_ACCESS_DENIED);
  Opened appender;
  ASSERT_EQ(Open(u"\\data", FILE_APPEND_DATA, FILE_OPEN, 0, &appender), STATUS_SUCCESS);
  EXPECT_EQ(nb::kernel::ReadFile(appender.get(), buffer, 1, 0, &done), STATUS_ACCESS_DENIED);
  ASSERT_EQ(nb::kernel::WriteFile(appender.get(), "?", 1, 0, &done), STATUS_SUCCESS);
  EXPECT_EQ(ReadHost("data"), "hello world!?");
  Opened attributesOnly;
  ASSERT_EQ(Open(u"\\data", FILE_READ_ATTRIBUTES, FILE_OPEN, 0, &attributesOnly), STATUS_SUCCESS);
  EXPECT_EQ(nb::kernel::ReadFile(attributesOnly.get(), buffer, 1, 0, &done), STATUS_ACCESS_DENIED);
  // Generic rights arrive as the file rights they stand for.
  Opened generic;
  ASSERT_EQ(Open(u"\\data", GENERIC_READ, FILE_OPEN, 0, &generic), STATUS_SUCCESS);
  ASSERT_EQ(nb::kernel::ReadFile(generic.get(), buffer, 5, 0, &done), STATUS_SUCCESS);
}

TEST_F(CreateTest, VolumeOpensTakeFileSystemRequests) {
  Opened volume;
  ASSERT_EQ(Open(u"", FILE_READ_DATA, FILE_OPEN, 0, &volume), STATUS_SUCCESS);
  EXPECT_TRUE(volume.get()->Flags & FO_VOLUME_OPEN);
  EXPECT_EQ(nb::kernel::FileSystemControl(volume.get(), FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
  EXPECT_EQ(nb::kernel::FileSystemControl(volume.get(), FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0),
            STATUS_SUCCESS);
  EXPECT_EQ(nb::kernel::FileSystemControl(volume.get(), CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 99, METHOD_BUFFERED, 0),
                                          nullptr, 0, nullptr, 0),
            STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(nb::kernel::FlushFile(volume.get()), STATUS_SUCCESS);

  SECURITY_DESCRIPTOR_RELATIVE descriptor{};
  ULONG returned = 0;
  EXPECT_EQ(nb::kernel::QuerySecurity(volume.get(), DACL_SECURITY_INFORMATION, &descriptor, 4, &returned),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(returned, sizeof descriptor);
  ASSERT_EQ(nb::kernel::QuerySecurity(volume.get(), DACL_SECURITY_INFORMATION, &descriptor, sizeof descriptor,
                                      &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(descriptor.Control, SE_SELF_RELATIVE | SE_DACL_PRESENT);
  EXPECT_EQ(descriptor.Dacl, 0u);
  EXPECT_EQ(nb::kernel::SetSecurity(volume.get(), DACL_SECURITY_INFORMATION, &descriptor), STATUS_SUCCESS);
}

TEST_F(CreateTest, FixedAndRemovableVolumesMountThroughTheirControlDevices) {
  std::filesystem::create_directory(top_ / "stick");
  std::ofstream(top_ / "stick" / "f") << "on the stick";
  PDEVICE_OBJECT storage = nullptr;
  ASSERT_EQ(machine_.AddHostVolume('R', (top_ / "stick").string(), true, &storage), STATUS_SUCCESS);
  ASSERT_NE(storage->Vpb->DeviceObject, nullptr);
  EXPECT_TRUE(storage->Vpb->Flags & VPB_MOUNTED);
  EXPECT_TRUE(storage->Vpb->DeviceObject->Characteristics & FILE_REMOVABLE_MEDIA);
  EXPECT_EQ(std::u16string(storage->Vpb->DeviceObject->DriverObject->DriverName.Buffer), u"\\FileSystem\\hostfs");
  nb::kernel::OpenParameters parameters;
  parameters.desiredAccess = FILE_READ_DATA;
  PFILE_OBJECT file;
  ASSERT_EQ(nb::kernel::OpenFile(u"\\DosDevices\\R:\\f", parameters, &file), STATUS_SUCCESS);
  nb::kernel::CloseFile(file);
  EXPECT_EQ(machine_.AddHostVolume('Q', (top_ / "no such folder").string()), STATUS_OBJECT_PATH_NOT_FOUND);

  // A filter finds the volume device to attach to through the drive's name.
  UNICODE_STRING drive;
  RtlInitUnicodeString(&drive, u"\\DosDevices\\R:");
  PDEVICE_OBJECT top = nullptr;
  ASSERT_EQ(IoGetDeviceObjectPointer(&drive, FILE_READ_DATA, &file, &top), STATUS_SUCCESS);
  EXPECT_EQ(top, storage->Vpb->DeviceObject);
  ObDereferenceObject(file);
}

size_t OpenDescriptors() {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                           std::filesystem::directory_iterator()));
}

TEST_F(CreateTest, EveryDescriptorIsReleasedOnSuccessAndFailure) {
  WriteHost("d/f", "data");
  WriteHost("d/ro", "r");
  std::filesystem::permissions(Host("d/ro"), std::filesystem::perms::owner_read);
  std::filesystem::create_directory_symlink("../..", Host("d/up"));
  const size_t before = OpenDescriptors();
  {
    Opened dir;
    ASSERT_EQ(Open(u"\\d", FILE_LIST_DIRECTORY | DELETE, FILE_OPEN, FILE_DIRECTORY_FILE, &dir), STATUS_SUCCESS);
    std::vector<UCHAR> buffer(4096);
    ASSERT_EQ(nb::kernel::QueryDirectory(dir.get(), {FileIdBothDirectoryInformation}, buffer.data(), 4096),
              STATUS_SUCCESS);
    Opened file;
    ASSERT_EQ(Open(u"f", FILE_READ_DATA | FILE_WRITE_DATA | DELETE, FILE_OVERWRITE, 0, &file, nullptr, dir.get()),
              STATUS_SUCCESS);
    Opened failed;
    EXPECT_EQ(Open(u"\\d\\ro", FILE_WRITE_DATA, FILE_OPEN, 0, &failed), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(u"\\d\\f", FILE_READ_DATA, FILE_CREATE, 0, &failed), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Open(u"\\d\\f", FILE_READ_DATA, FILE_OPEN, FILE_DIRECTORY_FILE, &failed), STATUS_NOT_A_DIRECTORY);
    EXPECT_EQ(Open(u"\\d\\up\\x", FILE_READ_DATA, FILE_OPEN_IF, 0, &failed), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(u"\\d\\ro", DELETE, FILE_OPEN, FILE_DELETE_ON_CLOSE, &failed), STATUS_CANNOT_DELETE);
    EXPECT_EQ(Open(u"\\d", DELETE, FILE_OPEN, 0, &failed), STATUS_SUCCESS);
    FILE_DISPOSITION_INFORMATION disposition{TRUE};
    EXPECT_EQ(nb::kernel::SetInformation(failed.get(), FileDispositionInformation, &disposition, sizeof disposition),
              STATUS_DIRECTORY_NOT_EMPTY);
    FILE_DISPOSITION_INFORMATION remove{TRUE};
    EXPECT_EQ(nb::kernel::SetInformation(file.get(), FileDispositionInformation, &remove, sizeof remove),
              STATUS_SUCCESS);
  }
  EXPECT_FALSE(HostExists("d/f"));
  EXPECT_EQ(OpenDescriptors(), before);
}

}  // namespace
}  // namespace nb::hostfs::testing
