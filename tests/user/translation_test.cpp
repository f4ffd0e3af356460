// Pure translations of libnbwin: Win32 paths, CreateFileW's arguments for a device, the
// object names, attributes and find patterns of drive files, and NT statuses and errno
// values as Win32 errors.
#include <cerrno>

#include <gtest/gtest.h>

#include <ntstatus.h>
#include <windows.h>

#include "nb/win/errors.h"
#include "nb/win/file_rules.h"
#include "nb/win/paths.h"
#include "objects.h"

namespace nb::win {
namespace {

TEST(DriveFileRules, ObjectNamesAndAttributes) {
  EXPECT_EQ(DriveObjectName(u'X', u""), u"\\DosDevices\\X:\\");
  EXPECT_EQ(DriveObjectName(u'C', u"Program Files/Nimbra"), u"\\DosDevices\\C:\\Program Files\\Nimbra");
  EXPECT_EQ(VolumePathOf(u"a/b"), u"\\a\\b");
  struct Case {
    ULONG fileSystem;
    DWORD win32;
  };
  const Case cases[] = {
      {FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_DIRECTORY},
      {FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_DIRECTORY},
      {FILE_ATTRIBUTE_NORMAL, FILE_ATTRIBUTE_ARCHIVE},
      {FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY},
      {FILE_ATTRIBUTE_REPARSE_POINT, FILE_ATTRIBUTE_ARCHIVE},
  };
  for (const Case& c : cases) EXPECT_EQ(Win32AttributesOf(c.fileSystem), c.win32) << c.fileSystem;
}

TEST(DriveFileRules, FindPathsSplitIntoFolderAndPattern) {
  struct Case {
    const char16_t* path;
    bool parses;
    WCHAR letter;
    const char16_t* folder;
    const char16_t* pattern;
    DWORD error;
  };
  const Case cases[] = {
      {u"C:\\Windows\\*.*", true, u'C', u"Windows", u"*.*", 0},
      {u"c:/a/b/x?", true, u'C', u"a/b", u"x?", 0},
      {u"C:\\*", true, u'C', u"", u"*", 0},
      {u"C:*.txt", true, u'C', u"", u"*.txt", 0},
      {u"C:\\dir\\name. ", true, u'C', u"dir", u"name", 0},
      {u"\\\\?\\C:\\dir\\name.", true, u'C', u"dir", u"name.", 0},
      {u"C:\\dir\\", false, 0, u"", u"", ERROR_FILE_NOT_FOUND},
      {u"C:\\dir\\..", false, 0, u"", u"", ERROR_FILE_NOT_FOUND},
      {u"C:\\dir\\a>b", false, 0, u"", u"", ERROR_INVALID_NAME},
      {u"C:\\dir\\a\"", false, 0, u"", u"", ERROR_INVALID_NAME},
      {u"C:\\di*r\\a", false, 0, u"", u"", ERROR_INVALID_NAME},
      {u"\\\\.\\nbfscntl36\\*", false, 0, u"", u"", ERROR_INVALID_NAME},
      {u"*.txt", false, 0, u"", u"", ERROR_PATH_NOT_FOUND},
      {u"\\\\server\\share\\*", false, 0, u"", u"", ERROR_BAD_NETPATH},
  };
  for (const Case& c : cases) {
    FindPath find;
    DWORD error = 0;
    std::string label(c.path, c.path + std::char_traits<char16_t>::length(c.path));
    ASSERT_EQ(ParseFindPath(c.path, &find, &error), c.parses) << label;
    if (c.parses) {
      EXPECT_EQ(find.directory.letter, c.letter) << label;
      EXPECT_EQ(find.directory.relative, c.folder) << label;
      EXPECT_EQ(find.pattern, c.pattern) << label;
    } else {
      EXPECT_EQ(error, c.error) << label;
    }
  }
}

// Win32 hands its patterns on with the DOS wildcards, which the file system matches.
TEST(DriveFileRules, PatternsBecomeDosWildcards) {
  EXPECT_EQ(FileSystemPatternOf(u"*"), u"*");
  EXPECT_EQ(FileSystemPatternOf(u"*.*"), u"<\"*");
  EXPECT_EQ(FileSystemPatternOf(u"*.txt"), u"<.txt");
  EXPECT_EQ(FileSystemPatternOf(u"file?.t?t"), u"file>.t>t");
  EXPECT_EQ(FileSystemPatternOf(u"a.?"), u"a\">");
  EXPECT_EQ(FileSystemPatternOf(u"a.b"), u"a.b");
  EXPECT_EQ(FileSystemPatternOf(u"a*b"), u"a*b");
}

struct PathCase {
  const char16_t* path;
  PathKind kind;
  const char16_t* name;  // object name, or the relative path of a drive file
  WCHAR letter;
  DWORD error;
};

TEST(Win32Paths, DevicesVolumesAndDriveFiles) {
  const PathCase cases[] = {
      {u"\\\\.\\nbfscntl36", PathKind::kDevice, u"\\DosDevices\\nbfscntl36", 0, 0},
      {u"\\\\?\\nbdvCntl15", PathKind::kDevice, u"\\DosDevices\\nbdvCntl15", 0, 0},
      {u"\\\\.\\c:", PathKind::kVolume, u"", u'C', 0},
      {u"\\\\.\\C:\\Windows", PathKind::kDriveFile, u"Windows", u'C', 0},
      {u"C:\\", PathKind::kDriveFile, u"", u'C', 0},
      {u"d:", PathKind::kDriveFile, u"", u'D', 0},
      {u"D:\\a\\b\\c", PathKind::kDriveFile, u"a/b/c", u'D', 0},
      {u"D:/a//b/./c/", PathKind::kDriveFile, u"a/b/c", u'D', 0},
      {u"D:\\a\\..\\b", PathKind::kDriveFile, u"b", u'D', 0},
      {u"D:\\..\\..\\etc\\passwd", PathKind::kDriveFile, u"etc/passwd", u'D', 0},
      {u"D:\\\u00e9t\u00e9", PathKind::kDriveFile, u"\u00e9t\u00e9", u'D', 0},
      // Names lose trailing dots and spaces, except in literal "\\?\" paths.
      {u"C:\\Locked.", PathKind::kDriveFile, u"Locked", u'C', 0},
      {u"C:\\Locked. .\\inner \\file.txt..", PathKind::kDriveFile, u"Locked/inner/file.txt", u'C', 0},
      {u"C:\\a\\...\\b", PathKind::kDriveFile, u"a/b", u'C', 0},
      {u"C:\\ lead", PathKind::kDriveFile, u" lead", u'C', 0},
      {u"\\\\.\\C:\\Locked.", PathKind::kDriveFile, u"Locked", u'C', 0},
      {u"\\\\?\\C:\\Locked.", PathKind::kDriveFile, u"Locked.", u'C', 0},
      {u"\\\\?\\C:\\a\\..\\Locked ", PathKind::kDriveFile, u"Locked ", u'C', 0},
      {u"D:\\a?b", PathKind::kInvalid, u"", 0, ERROR_INVALID_NAME},
      {u"D:\\a\\b:c", PathKind::kInvalid, u"", 0, ERROR_INVALID_NAME},
      {u"D:\\a\x01", PathKind::kInvalid, u"", 0, ERROR_INVALID_NAME},
      {u"\\\\server\\share", PathKind::kInvalid, u"", 0, ERROR_BAD_NETPATH},
      {u"\\\\.\\", PathKind::kInvalid, u"", 0, ERROR_PATH_NOT_FOUND},
      {u"relative\\file", PathKind::kInvalid, u"", 0, ERROR_PATH_NOT_FOUND},
      {u"", PathKind::kInvalid, u"", 0, ERROR_PATH_NOT_FOUND},
      {u"1:\\x", PathKind::kInvalid, u"", 0, ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : cases) {
    Win32Path path = ParseWin32Path(c.path);
    std::string label = std::string(c.path, c.path + std::char_traits<char16_t>::length(c.path));
    EXPECT_EQ(path.kind, c.kind) << label;
    EXPECT_EQ(path.error, c.error) << label;
    EXPECT_EQ(path.letter, c.letter) << label;
    EXPECT_EQ(c.kind == PathKind::kDevice ? path.objectName : path.relative, std::u16string(c.name)) << label;
  }
}

TEST(DeviceOpen, CreateFileArgumentsBecomeAnObjectOpen) {
  ObjectOpen open;
  ASSERT_TRUE(TranslateDeviceOpen(u"\\DosDevices\\x", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, &open));
  EXPECT_EQ(open.objectName, u"\\DosDevices\\x");
  EXPECT_EQ(open.desiredAccess, 0x00120089u | SYNCHRONIZE | FILE_READ_ATTRIBUTES);
  EXPECT_EQ(open.shareAccess, static_cast<ULONG>(FILE_SHARE_READ));
  EXPECT_EQ(open.disposition, 1u);               // FILE_OPEN
  EXPECT_EQ(open.options, 0x20u | 0x40u);        // synchronous, not a directory
  EXPECT_EQ(open.fileAttributes, static_cast<ULONG>(FILE_ATTRIBUTE_NORMAL));

  ASSERT_TRUE(TranslateDeviceOpen(u"x", GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_NO_BUFFERING | FILE_FLAG_OVERLAPPED, &open));
  EXPECT_EQ(open.desiredAccess, 0x00120089u | 0x00120116u | SYNCHRONIZE | FILE_READ_ATTRIBUTES);
  EXPECT_EQ(open.disposition, 5u);               // FILE_OVERWRITE_IF
  EXPECT_EQ(open.options, 0x4000u | 0x8u);       // backup intent, no buffering, asynchronous
  EXPECT_EQ(open.fileAttributes, 0u);

  const std::pair<DWORD, ULONG> dispositions[] = {
      {CREATE_NEW, 2}, {OPEN_ALWAYS, 3}, {TRUNCATE_EXISTING, 4}};
  for (auto [win32, nt] : dispositions) {
    ASSERT_TRUE(TranslateDeviceOpen(u"x", 0, 0, win32, 0, &open));
    EXPECT_EQ(open.disposition, nt);
  }
  EXPECT_FALSE(TranslateDeviceOpen(u"x", 0, 0, 0, 0, &open));
  EXPECT_FALSE(TranslateDeviceOpen(u"x", 0, 0, 6, 0, &open));
}

TEST(Win32Errors, StatusesAndErrnoValues) {
  const std::pair<NTSTATUS, DWORD> statuses[] = {
      {STATUS_SUCCESS, ERROR_SUCCESS},
      {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
      {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
      {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
      {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
      {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
      {STATUS_NO_SUCH_FILE, ERROR_FILE_NOT_FOUND},
      {STATUS_NO_SUCH_DEVICE, ERROR_BAD_UNIT},
      {STATUS_VOLUME_DISMOUNTED, ERROR_NOT_READY},
      {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
      {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
      {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
      {STATUS_NO_MORE_ENTRIES, ERROR_NO_MORE_ITEMS},
      {STATUS_KEY_DELETED, ERROR_KEY_DELETED},
      {STATUS_REGISTRY_CORRUPT, ERROR_BADDB},
      {STATUS_REGISTRY_IO_FAILED, ERROR_REGISTRY_IO_FAILED},
      {static_cast<NTSTATUS>(0xC0001234), ERROR_GEN_FAILURE},
  };
  for (auto [status, error] : statuses) EXPECT_EQ(Win32ErrorFromNtStatus(status), error) << std::hex << status;
  const std::pair<int, DWORD> errnos[] = {
      {ENOENT, ERROR_FILE_NOT_FOUND}, {ENOTDIR, ERROR_PATH_NOT_FOUND}, {EACCES, ERROR_ACCESS_DENIED},
      {EXDEV, ERROR_ACCESS_DENIED},   {EEXIST, ERROR_FILE_EXISTS},     {ENOSPC, ERROR_DISK_FULL},
      {EROFS, ERROR_WRITE_PROTECT},   {EIO, ERROR_GEN_FAILURE},
  };
  for (auto [error, win32] : errnos) EXPECT_EQ(Win32ErrorFromErrno(error), win32) << error;
}

}  // namespace
}  // namespace nb::win
