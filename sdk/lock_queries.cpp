// CVAULTObj queries of the driver's locks: GetLockCount, GetLockInfo, GetCountInDrive,
// GetInfoInDrive.
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include <windows.h>

#include "VAULTSdk.h"
#include "lock_records.h"
#include "messages.h"
#include "nbclient.h"

namespace {

constexpr size_t kDriveSlots = 26;
// How often a walk that met the driver's table changing under it runs again.
constexpr int kWalkAttempts = 3;

int ReadDriveTable(NBFS_DRIVE (&drives)[kDriveSlots]) {
  std::memset(drives, 0, sizeof drives);
  return GetDriveInformation(drives, sizeof drives);
}

// Reads `count` entries of a drive into records; returns the client code and stores how
// many records were filled (the driver may hold fewer entries than were counted).
int ReadEntries(char drive, int count, _LCK_INFORMAION* out, int* filled) {
  *filled = 0;
  if (count <= 0) return NB_SUCCESS;
  if (static_cast<size_t>(count) > std::numeric_limits<ULONG>::max() / sizeof(NBFS_ENTRY)) return NB_ERROR_INVALID;
  std::vector<NBFS_ENTRY> entries;
  try {
    entries.assign(static_cast<size_t>(count), NBFS_ENTRY{});
  } catch (const std::bad_alloc&) {
    return NB_ERROR_NO_MEMORY;
  }
  int code = GetEntryInfoInDrive(static_cast<WCHAR>(static_cast<UCHAR>(drive)), entries.data(),
                                 static_cast<ULONG>(entries.size() * sizeof(NBFS_ENTRY)));
  if (code != NB_SUCCESS) return code;
  for (const NBFS_ENTRY& entry : entries) {
    if (entry.letter == 0) break;  // a slot the driver did not fill
    vault::EntryToRecord(entry, &out[(*filled)++]);
  }
  return NB_SUCCESS;
}

}  // namespace

int CVAULTObj::GetLockCount(int /*show*/) {
  NBFS_DRIVE drives[kDriveSlots];
  int code = ReadDriveTable(drives);
  if (code != NB_SUCCESS) {
    // Shown whether or not `show` is set: without the table nothing else can be listed.
    vault::ShowMessage(vault::kMsgDriveTable, "d", code);
    return 0;
  }
  int count = 0;
  for (const NBFS_DRIVE& drive : drives) {
    if (drive.letter == 0) break;
    count += vault::IsDriveLock(drive) ? 1 : GetCountInDrive(static_cast<char>(drive.letter), 0);
  }
  return count;
}

int CVAULTObj::GetLockInfo(_LCK_INFORMAION* out, int count, int show) {
  if (!out || count < 0) return 0;
  size_t capacity = static_cast<size_t>(count);
  int lastCode = NB_SUCCESS;
  bool tooMany = false;
  for (int attempt = 0; attempt < kWalkAttempts; ++attempt) {
    NBFS_DRIVE drives[kDriveSlots];
    int code = ReadDriveTable(drives);
    if (code != NB_SUCCESS) {
      VAULTMsg(show, code, 0, u"");
      return 0;
    }
    size_t written = 0;
    bool unsettled = false;
    tooMany = false;
    for (const NBFS_DRIVE& drive : drives) {
      if (drive.letter == 0) break;
      if (vault::IsDriveLock(drive)) {
        if (written == capacity) {
          tooMany = true;
          continue;
        }
        vault::DriveToRecord(drive, &out[written++]);
        continue;
      }
      int inDrive = GetCountInDrive(static_cast<char>(drive.letter), show);
      if (inDrive <= 0) continue;
      // Never more records than the caller made room for.
      if (static_cast<size_t>(inDrive) > capacity - written) {
        tooMany = true;
        continue;
      }
      int filled = 0;
      code = ReadEntries(static_cast<char>(drive.letter), inDrive, out + written, &filled);
      if (code != NB_SUCCESS) {
        // Most often a lock added since the count: the driver refuses the short buffer.
        lastCode = code;
        unsettled = true;
        continue;
      }
      written += static_cast<size_t>(filled);
    }
    if (!tooMany && !unsettled) {
      // Room counted for locks that went meanwhile is left as no lock at all.
      std::memset(static_cast<void*>(out + written), 0, (capacity - written) * sizeof *out);
      return 1;
    }
  }
  if (tooMany) {
    if (show) vault::ShowMessage(vault::kMsgDriveTable, "d", static_cast<int>(ERROR_MORE_DATA));
  } else {
    VAULTMsg(show, lastCode, 0, u"");
  }
  return 0;
}

int CVAULTObj::GetCountInDrive(char drive, int show) {
  ULONG count = 0;
  int code = GetEntryCountInDrive(static_cast<WCHAR>(static_cast<UCHAR>(drive)), &count);
  if (code != NB_SUCCESS) {
    VAULTMsg(show, code, static_cast<WCHAR>(static_cast<UCHAR>(drive)), u"");
    return 0;
  }
  return count > static_cast<ULONG>(std::numeric_limits<int>::max()) ? std::numeric_limits<int>::max()
                                                                     : static_cast<int>(count);
}

int CVAULTObj::GetInfoInDrive(char drive, int count, _LCK_INFORMAION* out, int show) {
  if (!out || count < 0) return 0;
  int filled = 0;
  int code = ReadEntries(drive, count, out, &filled);
  if (code == NB_ERROR_NO_MEMORY) {
    MemoryMsg(show);
    return 0;
  }
  if (code != NB_SUCCESS) {
    VAULTMsg(show, code, static_cast<WCHAR>(static_cast<UCHAR>(drive)), u"");
    return 0;
  }
  std::memset(static_cast<void*>(out + filled), 0, static_cast<size_t>(count - filled) * sizeof *out);
  return 1;
}
