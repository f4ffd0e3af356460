// The lock object's pure parts: driver records as lock records, message choices, the
// conversions of message texts, text helpers, and the mount manager's answer.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include <windows.h>
#include <mountmgr.h>

#include "lock_records.h"
#include "messages.h"
#include "mount_points.h"

namespace {

TEST(DriverRecords, EntriesAndDrivesBecomeLockRecords) {
  struct Case {
    ULONG seconds;
    ULONG flags;
    const char16_t* path;
    INT type;
    INT minutes;
    INT running;
  };
  const Case cases[] = {
      {0, 1, u"\\Data", LCK_TYPE_FOLDER, 0, 1},      // no time-out: running
      {600, 4, u"\\Data", LCK_TYPE_FOLDER, 10, 1},   // timed and closed
      {600, 0, u"\\Data", LCK_TYPE_FOLDER, 10, 0},   // timed and open: the only "ready" one
      {659, 0x80, u"\\Data", LCK_TYPE_FOLDER, 10, 1},  // seconds truncate to minutes
      {59, 0, u"\\Data", LCK_TYPE_FOLDER, 0, 1},     // under a minute reads as none
      {120, 1, u"", LCK_TYPE_DRIVE, 2, 1},           // an entry without path is the drive's
  };
  for (const Case& c : cases) {
    NBFS_ENTRY entry{};
    entry.timeout = c.seconds;
    entry.type = c.flags;
    entry.letter = 'D';
    std::u16string path(c.path);
    std::copy(path.begin(), path.end(), entry.path);
    _LCK_INFORMAION record;
    std::memset(&record, 0xAB, sizeof record);
    vault::EntryToRecord(entry, &record);
    EXPECT_EQ(record.type, c.type) << c.seconds;
    EXPECT_EQ(record.timeout, c.minutes) << c.seconds;
    EXPECT_EQ(record.running, c.running) << c.seconds;
    EXPECT_EQ(record.mode, static_cast<INT>(c.flags));
    EXPECT_EQ(record.drive, u'D');
    EXPECT_EQ(std::u16string(record.path), path);
    EXPECT_EQ(record.serial, 0u) << "every record is zeroed before it is filled";
    EXPECT_EQ(record.owner[0], 0);
  }
  NBFS_DRIVE drive{600, 0, 'E', {}};
  _LCK_INFORMAION record;
  std::memset(&record, 0xAB, sizeof record);
  vault::DriveToRecord(drive, &record);
  EXPECT_EQ(record.type, LCK_TYPE_DRIVE);
  EXPECT_EQ(record.timeout, 10);
  EXPECT_EQ(record.running, 0);
  EXPECT_EQ(record.path[0], 0);
  // A path filling the driver's whole field still ends inside the record's.
  NBFS_ENTRY full{};
  full.letter = 'C';
  std::fill(full.path, full.path + NBFS_PATH_UNITS, u'x');
  full.path[0] = u'\\';
  vault::EntryToRecord(full, &record);
  EXPECT_EQ(std::u16string(record.path).size(), NBFS_PATH_UNITS - 1);
}

TEST(Messages, CodesChooseTheirMessages) {
  struct Case {
    int code;
    UINT number;
    bool withPlace;
  };
  const Case cases[] = {{-3001, 1, false}, {-3002, 2, true},  {-3003, 3, true},   {-3004, 4, true},
                        {-3005, 5, true},  {-3006, 6, true},  {-3007, 12, true},  {-3008, 11, true},
                        {-3009, 17, true}, {-3010, 13, false}, {-3011, 14, false}, {-3012, 15, false},
                        {-3013, 16, false}, {-3000, 7, true},  {-3100, 7, true},   {0, 7, true}};
  for (const Case& c : cases) {
    vault::MessageChoice choice = vault::MessageForCode(c.code);
    EXPECT_EQ(choice.number, c.number) << c.code;
    EXPECT_EQ(choice.withPlace, c.withPlace) << c.code;
  }
}

TEST(Messages, ConversionsOfTexts) {
  struct Case {
    const char16_t* format;
    const char* conversions;
  };
  const Case cases[] = {{u"The lock on %c:%s failed.", "cs"}, {u"no values", ""},     {u"100%% sure", ""},
                        {u"error %d: %s", "ds"},              {u"%-5d%ls", "ds"},     {u"%*d", "*d"},
                        {u"ends with %", "%"},                {u"%I64d", "d"}};
  for (const Case& c : cases) EXPECT_EQ(vault::ConversionsOf(c.format), c.conversions) << c.conversions;
}

TEST(TextHelpers, SecondBackslashCaseAndProcessNames) {
  EXPECT_EQ(vault::BeforeSecondBackslash(u"C:\\Program Files\\Nimbra"), u"C:\\Program Files");
  EXPECT_EQ(vault::BeforeSecondBackslash(u"C:\\Program Files"), u"C:\\Program Files");
  EXPECT_FALSE(vault::BeforeSecondBackslash(u"C:").has_value());
  EXPECT_TRUE(vault::EqualIgnoringCase(u"C:\\WINDOWS", u"c:\\windows"));
  EXPECT_FALSE(vault::EqualIgnoringCase(u"C:\\Windows", u"C:\\Windows2"));

  WCHAR name[PROC_NAME_UNITS] = {};
  std::u16string longName = u"averyveryverylongname.exe";
  std::copy_n(longName.begin(), PROC_NAME_UNITS - 1, name);
  EXPECT_EQ(vault::AnsiProcessName(name), "averyveryverylo");
  // Japanese characters take three bytes each: five fit in 15, never half of one.
  std::u16string japanese = u"日本語日本語.exe";
  std::fill(name, name + PROC_NAME_UNITS, u'\0');
  std::copy(japanese.begin(), japanese.end(), name);
  EXPECT_EQ(vault::AnsiProcessName(name), "日本語日本");

  CHAR driverName[NBFS_PROC_NAME_BYTES];
  std::memset(driverName, 'n', sizeof driverName);  // all 16 bytes used, no NUL
  WCHAR wide[PROC_NAME_UNITS];
  vault::WidenProcessName(driverName, wide);
  EXPECT_EQ(std::u16string(wide), std::u16string(15, u'n'));
}

// Builds an answer of the mount manager: header, points, then the names.
class Answer {
 public:
  explicit Answer(ULONG points) : bytes_(8 + points * sizeof(MOUNTMGR_MOUNT_POINT), 0) {
    Put(0, static_cast<ULONG>(0));
    Put(4, points);
  }
  // Appends a point's link and unique id and returns the point to adjust.
  MOUNTMGR_MOUNT_POINT& Point(ULONG index, const std::u16string& link, size_t uniqueIdBytes) {
    MOUNTMGR_MOUNT_POINT point{};
    point.SymbolicLinkNameOffset = static_cast<ULONG>(bytes_.size());
    point.SymbolicLinkNameLength = static_cast<USHORT>(link.size() * 2);
    bytes_.insert(bytes_.end(), reinterpret_cast<const uint8_t*>(link.data()),
                  reinterpret_cast<const uint8_t*>(link.data()) + link.size() * 2);
    point.UniqueIdOffset = static_cast<ULONG>(bytes_.size());
    point.UniqueIdLength = static_cast<USHORT>(uniqueIdBytes);
    bytes_.insert(bytes_.end(), uniqueIdBytes, 0x55);
    points_.resize(std::max<size_t>(points_.size(), index + 1));
    points_[index] = point;
    return points_[index];
  }
  std::vector<uint8_t> Bytes() {
    for (size_t i = 0; i < points_.size(); ++i) std::memcpy(&bytes_[8 + i * sizeof points_[i]], &points_[i], sizeof points_[i]);
    Put(0, static_cast<ULONG>(bytes_.size()));
    return bytes_;
  }

 private:
  void Put(size_t at, ULONG value) { std::memcpy(&bytes_[at], &value, sizeof value); }
  std::vector<uint8_t> bytes_;
  std::vector<MOUNTMGR_MOUNT_POINT> points_;
};

TEST(MountPoints, TheFirstDriveLinkWithAUniqueIdGivesTheLetter) {
  Answer answer(3);
  answer.Point(0, u"\\??\\Volume{0000}", 16);
  answer.Point(1, u"\\DosDevices\\E:", 11);  // unique id too short
  answer.Point(2, u"\\DosDevices\\F:", 12);
  std::vector<uint8_t> bytes = answer.Bytes();
  EXPECT_EQ(vault::DriveLetterOfMountPoints(bytes.data(), bytes.size()), u'F');

  Answer lower(1);
  lower.Point(0, u"\\DosDevices\\f:", 16);  // only upper-case letters name drives
  bytes = lower.Bytes();
  EXPECT_FALSE(vault::DriveLetterOfMountPoints(bytes.data(), bytes.size()).has_value());
}

// The answer is checked before it is read: nothing outside the returned bytes is used.
TEST(MountPoints, AnAnswerThatPointsOutsideItselfIsRefused) {
  struct Case {
    const char* what;
    std::function<void(Answer&)> spoil;
    size_t cut;  // bytes taken off the end
  };
  const Case cases[] = {
      {"link beyond the answer", [](Answer& a) { a.Point(0, u"\\DosDevices\\E:", 16).SymbolicLinkNameOffset = 4000; }, 0},
      {"link length past the end",
       [](Answer& a) { a.Point(0, u"\\DosDevices\\E:", 16).SymbolicLinkNameOffset = 0xFFFFFFF0; }, 0},
      {"unique id beyond the answer", [](Answer& a) { a.Point(0, u"\\DosDevices\\E:", 16).UniqueIdOffset = 4000; }, 0},
      {"answer cut short", [](Answer& a) { a.Point(0, u"\\DosDevices\\E:", 16); }, 10},
  };
  for (const Case& c : cases) {
    Answer answer(1);
    c.spoil(answer);
    std::vector<uint8_t> bytes = answer.Bytes();
    EXPECT_FALSE(vault::DriveLetterOfMountPoints(bytes.data(), bytes.size() - c.cut).has_value()) << c.what;
  }
  // More points than the answer holds.
  Answer many(1);
  many.Point(0, u"\\DosDevices\\E:", 16);
  std::vector<uint8_t> bytes = many.Bytes();
  ULONG count = 5000;
  std::memcpy(&bytes[4], &count, sizeof count);
  EXPECT_FALSE(vault::DriveLetterOfMountPoints(bytes.data(), bytes.size()).has_value());
  EXPECT_FALSE(vault::DriveLetterOfMountPoints(bytes.data(), 7).has_value());
  EXPECT_FALSE(vault::DriveLetterOfMountPoints(nullptr, 0).has_value());
}

}  // namespace
