// CMdb: the database file of one store, opened and closed around every call.
#include <cstring>
#include <optional>
#include <string>

#include <windows.h>

#include "VAULTSdk.h"
#include "nb/text.h"
#include "nb/win/host_path.h"
#include "walk.h"

namespace {

constexpr int kBlockSize = 1024;
constexpr int kFileMode = 0664;

}  // namespace

CMdb::CMdb(LPCWSTR path, bool readOnly) : readOnly_(readOnly) {
  std::memset(dbPath_, 0, sizeof dbPath_);
  if (!path) return;
  // A name that does not fit is not kept at all: a cut one would name another file.
  std::string ansi = nb::text::Utf16ToUtf8(path);
  if (ansi.size() < sizeof dbPath_) std::memcpy(dbPath_, ansi.data(), ansi.size());
}

CMdb::~CMdb() = default;

bool CMdb::Open(GDBM_FILE& db) {
  db = nullptr;
  // gdbm opens the drive path where this machine keeps the drive's files.
  std::optional<std::string> file = nb::win::HostPathOf(dbPath_);
  if (!file) return false;
  db = gdbm_open(file->c_str(), kBlockSize, readOnly_ ? GDBM_READER : GDBM_WRITER, kFileMode, nullptr);
  return db != nullptr;
}

void CMdb::Close(GDBM_FILE& db) {
  if (!db) return;
  if (!readOnly_) gdbm_sync(db);
  gdbm_close(db);
  db = nullptr;
}

int CMdb::GetCount(GDBM_FILE& db) { return vault::CountKeys(db); }

namespace vault {

int CountKeys(GDBM_FILE db) {
  int count = 0;
  OwnedDatum current(gdbm_firstkey(db));
  while (!current.empty()) {
    ++count;
    current.Reset(gdbm_nextkey(db, current.get()));
  }
  return count;
}

}  // namespace vault
