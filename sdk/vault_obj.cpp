// CVAULTObj: construction, settings and checks, and the messages of the lock object.
#include <cstdarg>
#include <cstring>

#include <windows.h>
#include <fileapi.h>

#include "LogFile.h"
#include "NBUtil.h"
#include "VAULTSdk.h"
#include "lock_records.h"
#include "messages.h"
#include "nb/text.h"

namespace {

constexpr const char16_t* kLogFolder = u"NB";
constexpr size_t kLogLineUnits = 1024;  // a formatted line: 1023 characters and the NUL
constexpr size_t kSystemTextUnits = 1024;

}  // namespace

CVAULTObj::CVAULTObj() {
  std::memset(&driveSerial, 0, sizeof driveSerial);
  std::memset(lockDbPath, 0, sizeof lockDbPath);
  std::memset(defaultFolder, 0, sizeof defaultFolder);
  std::memset(exceptFolders, 0, sizeof exceptFolders);
}

CVAULTObj::~CVAULTObj() = default;

bool CVAULTObj::CheckDirectory(_LCK_INFORMAION* lock) {
  if (!lock) return false;
  if (lock->type != LCK_TYPE_FOLDER) return true;
  std::optional<std::u16string_view> path = vault::FieldText(lock->path);
  if (!path) return false;
  std::u16string name = nb::text::FormatWide(u"%c:%s", lock->drive, std::u16string(*path).c_str());
  // Exactly a folder: read-only, hidden, system or archive folders are refused too.
  return GetFileAttributesW(name.c_str()) == FILE_ATTRIBUTE_DIRECTORY;
}

int CVAULTObj::CheckUsedFolder(_LCK_INFORMAION* candidate, _LCK_INFORMAION* list, int count) {
  return ::CheckUsedFolder(candidate, list, count);
}

int CVAULTObj::GetVersion(int* major, int* minor, int show) {
  int code = VAULTVersion(major, minor);
  if (code == 0) return 1;
  if (show) vault::ShowMessage(vault::kMsgDriverVersion, "d", code);
  return 0;
}

void CVAULTObj::GetDefaultLockFolder() {
  std::memset(defaultFolder, 0, sizeof defaultFolder);
  ::GetDefaultLockFolder(defaultFolder);
}

void CVAULTObj::GetLockDbPath() {
  std::memset(lockDbPath, 0, sizeof lockDbPath);
  GetDbPath(lockDbPath, DB_LOCK);
}

void CVAULTObj::VAULTMsg(int show, int code, WCHAR drive, LPCWSTR path) {
  if (!show) return;
  if (code > 0) {
    SysMsg(true, code);
    return;
  }
  vault::MessageChoice choice = vault::MessageForCode(code);
  if (choice.withPlace) {
    // A failure of no particular drive shows none.
    vault::ShowMessage(choice.number, "cs", static_cast<int>(drive ? drive : u' '), path ? path : u"");
  } else {
    vault::ShowMessage(choice.number, "");
  }
}

void CVAULTObj::SysMsg(bool show, int code) {
  if (!show || code <= 0) return;
  WCHAR text[kSystemTextUnits];
  SysMessage(static_cast<unsigned>(code), text);
  vault::ShowError(text);
}

void CVAULTObj::MemoryMsg(int show) {
  if (!show) return;
  WCHAR text[kSystemTextUnits];
  SysMessage(ERROR_NOT_ENOUGH_MEMORY, text);
  vault::ShowMessage(vault::kMsgNoMemory, "ds", static_cast<int>(ERROR_NOT_ENOUGH_MEMORY), text);
}

void CVAULTObj::Print(LPCWSTR source, LPCWSTR format, ...) {
  if (!format) return;
  va_list values;
  va_start(values, format);
  std::u16string line = nb::text::FormatWideV(format, values);
  va_end(values);
  if (line.size() >= kLogLineUnits) line.resize(kLogLineUnits - 1);
  LogFile(source ? source : u"", kLogFolder, LOG_PERIOD_DAY).Write(u"%s", line.c_str());
}
