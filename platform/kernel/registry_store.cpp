// The registry's SQLite tables.
#include "registry_store.h"

#include <sqlite3.h>

#include <cstring>

namespace nb::kernel {

namespace {

constexpr int kSchemaVersion = 1;

constexpr const char* kSchema =
    "CREATE TABLE keys("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"  // never reused: a stale handle finds no key
    "  parent INTEGER NOT NULL,"
    "  name BLOB NOT NULL,"    // UTF-16LE as given
    "  folded BLOB NOT NULL,"  // upcased UTF-16BE: byte order is code-unit order
    "  last_write INTEGER NOT NULL,"
    "  UNIQUE(parent, folded));"
    "CREATE TABLE key_values("
    "  key_id INTEGER NOT NULL,"
    "  folded BLOB NOT NULL,"
    "  name BLOB NOT NULL,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  PRIMARY KEY(key_id, folded)) WITHOUT ROWID;"
    "PRAGMA user_version = 1;";

enum Statement : size_t {
  kBegin,
  kCommit,
  kRollback,
  kFindSubKey,
  kAddSubKey,
  kKeyExists,
  kParentOf,
  kHasSubKeys,
  kRemoveKeyValues,
  kRemoveKey,
  kSetLastWrite,
  kSubKeyAt,
  kSubKeyStats,
  kValueStats,
  kGetValue,
  kPutValue,
  kRemoveValue,
  kValueAt,
  kStatementCount,
};

constexpr const char* kStatements[kStatementCount] = {
    "BEGIN",
    "COMMIT",
    "ROLLBACK",
    "SELECT id FROM keys WHERE parent = ?1 AND folded = ?2",
    "INSERT INTO keys(parent, name, folded, last_write) VALUES(?1, ?2, ?3, ?4)",
    "SELECT 1 FROM keys WHERE id = ?1",
    "SELECT parent FROM keys WHERE id = ?1",
    "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1",
    "DELETE FROM key_values WHERE key_id = ?1",
    "DELETE FROM keys WHERE id = ?1",
    "UPDATE keys SET last_write = ?2 WHERE id = ?1",
    "SELECT name, last_write FROM keys WHERE parent = ?1 ORDER BY folded LIMIT 1 OFFSET ?2",
    "SELECT count(*), coalesce(max(length(name)), 0), (SELECT last_write FROM keys WHERE id = ?1) "
    "FROM keys WHERE parent = ?1",
    "SELECT count(*), coalesce(max(length(name)), 0), coalesce(max(length(data)), 0) "
    "FROM key_values WHERE key_id = ?1",
    "SELECT type, data FROM key_values WHERE key_id = ?1 AND folded = ?2",
    "INSERT INTO key_values(key_id, folded, name, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
    "ON CONFLICT(key_id, folded) DO UPDATE SET type = excluded.type, data = excluded.data",
    "DELETE FROM key_values WHERE key_id = ?1 AND folded = ?2",
    "SELECT name, type, data FROM key_values WHERE key_id = ?1 ORDER BY folded LIMIT 1 OFFSET ?2",
};

NTSTATUS StatusOf(int result) {
  switch (result & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return STATUS_SUCCESS;
    case SQLITE_NOMEM:
      return STATUS_NO_MEMORY;
    case SQLITE_FULL:
      return STATUS_DISK_FULL;
    case SQLITE_READONLY:
      return STATUS_MEDIA_WRITE_PROTECTED;
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return STATUS_ACCESS_DENIED;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
      return STATUS_REGISTRY_CORRUPT;
    default:
      return STATUS_REGISTRY_IO_FAILED;
  }
}

std::string Encode(std::u16string_view text, bool bigEndian) {
  std::string bytes(text.size() * 2, '\0');
  for (size_t i = 0; i < text.size(); ++i) {
    auto high = static_cast<char>(text[i] >> 8);
    auto low = static_cast<char>(text[i] & 0xFF);
    bytes[2 * i] = bigEndian ? high : low;
    bytes[2 * i + 1] = bigEndian ? low : high;
  }
  return bytes;
}

// One use of a prepared statement: binds in order, steps, reads columns, and resets the
// statement at the end of the scope.
class Use {
 public:
  explicit Use(sqlite3_stmt* statement) : statement_(statement) {}
  ~Use() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;

  Use& Int(int64_t value) { return Bound(sqlite3_bind_int64(statement_, ++index_, value)); }
  // A zero-length blob is bound as an empty blob, never as NULL.
  Use& Blob(const void* data, size_t length) {
    static const char kEmpty = 0;
    return Bound(sqlite3_bind_blob64(statement_, ++index_, length ? data : &kEmpty, length, SQLITE_TRANSIENT));
  }
  Use& Name(std::u16string_view name) { return Text(Encode(name, false)); }
  Use& Folded(std::u16string_view folded) { return Text(Encode(folded, true)); }

  // SQLITE_ROW, SQLITE_DONE or an error (also one met while binding).
  int Step() { return bindResult_ != SQLITE_OK ? bindResult_ : sqlite3_step(statement_); }
  // SUCCESS for a row, `none` when there is none, the error otherwise.
  NTSTATUS Row(NTSTATUS none) {
    int result = Step();
    if (result == SQLITE_ROW) return STATUS_SUCCESS;
    if (result == SQLITE_DONE) return none;
    return StatusOf(result);
  }
  NTSTATUS Done() {
    int result = Step();
    return result == SQLITE_DONE ? STATUS_SUCCESS : StatusOf(result);
  }

  int64_t ColumnInt(int column) const { return sqlite3_column_int64(statement_, column); }
  std::vector<BYTE> ColumnBytes(int column) const {
    auto* data = static_cast<const BYTE*>(sqlite3_column_blob(statement_, column));
    int length = sqlite3_column_bytes(statement_, column);
    return data ? std::vector<BYTE>(data, data + length) : std::vector<BYTE>{};
  }
  std::u16string ColumnName(int column) const {
    std::vector<BYTE> bytes = ColumnBytes(column);
    std::u16string name(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < name.size(); ++i) {
      name[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
    return name;
  }

 private:
  Use& Text(const std::string& bytes) { return Blob(bytes.data(), bytes.size()); }
  Use& Bound(int result) {
    if (bindResult_ == SQLITE_OK) bindResult_ = result;
    return *this;
  }

  sqlite3_stmt* statement_;
  int index_ = 0;
  int bindResult_ = SQLITE_OK;
};

NTSTATUS Execute(sqlite3* db, const char* sql) { return StatusOf(sqlite3_exec(db, sql, nullptr, nullptr, nullptr)); }

// A single-value query such as a PRAGMA read.
NTSTATUS QueryInt(sqlite3* db, const char* sql, int64_t* value) {
  sqlite3_stmt* statement = nullptr;
  int result = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
  if (result != SQLITE_OK) return StatusOf(result);
  result = sqlite3_step(statement);
  if (result == SQLITE_ROW) *value = sqlite3_column_int64(statement, 0);
  sqlite3_finalize(statement);
  return result == SQLITE_ROW ? STATUS_SUCCESS : result == SQLITE_DONE ? STATUS_REGISTRY_CORRUPT : StatusOf(result);
}

// Sets up a new file's tables, or checks that an existing file holds this hive's tables.
NTSTATUS PrepareSchema(sqlite3* db) {
  int64_t version = 0;
  NTSTATUS status = QueryInt(db, "PRAGMA user_version", &version);
  if (!NT_SUCCESS(status)) return status;
  if (version == kSchemaVersion) return STATUS_SUCCESS;
  if (version != 0) return STATUS_REGISTRY_CORRUPT;
  int64_t tables = 0;
  status = QueryInt(db, "SELECT count(*) FROM sqlite_master", &tables);
  if (!NT_SUCCESS(status)) return status;
  if (tables != 0) return STATUS_REGISTRY_CORRUPT;  // some other database
  status = Execute(db, "BEGIN");
  if (!NT_SUCCESS(status)) return status;
  status = Execute(db, kSchema);
  if (NT_SUCCESS(status)) return Execute(db, "COMMIT");
  (void)Execute(db, "ROLLBACK");
  return status;
}

}  // namespace

NTSTATUS RegistryStore::Open(const std::string& path, std::unique_ptr<RegistryStore>* store) {
  store->reset();
  sqlite3* db = nullptr;
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  int result = sqlite3_open_v2(path.empty() ? ":memory:" : path.c_str(), &db, flags, nullptr);
  if (result != SQLITE_OK) {
    sqlite3_close(db);
    return StatusOf(result);
  }
  std::unique_ptr<RegistryStore> opened(new RegistryStore(db));
  sqlite3_busy_timeout(db, 5000);
  NTSTATUS status = STATUS_SUCCESS;
  if (!path.empty()) {
    // A commit is appended to the write-ahead log and synced: it survives the process
    // being killed and the machine losing power, and a torn append is never replayed.
    status = Execute(db, "PRAGMA journal_mode = WAL");
    if (NT_SUCCESS(status)) status = Execute(db, "PRAGMA synchronous = FULL");
  }
  if (NT_SUCCESS(status)) status = PrepareSchema(db);
  if (NT_SUCCESS(status)) status = opened->Prepare();
  if (!NT_SUCCESS(status)) return status;
  *store = std::move(opened);
  return STATUS_SUCCESS;
}

RegistryStore::~RegistryStore() {
  for (sqlite3_stmt* statement : statements_) sqlite3_finalize(statement);
  sqlite3_close(db_);
}

NTSTATUS RegistryStore::Prepare() {
  for (const char* sql : kStatements) {
    sqlite3_stmt* statement = nullptr;
    int result = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
    if (result != SQLITE_OK) return StatusOf(result);
    statements_.push_back(statement);
  }
  return STATUS_SUCCESS;
}

NTSTATUS RegistryStore::Begin() { return Use(statements_[kBegin]).Done(); }

NTSTATUS RegistryStore::Commit() {
  NTSTATUS status = Use(statements_[kCommit]).Done();
  if (!NT_SUCCESS(status)) Rollback();
  return status;
}

void RegistryStore::Rollback() {
  if (!sqlite3_get_autocommit(db_)) (void)Use(statements_[kRollback]).Done();
}

NTSTATUS RegistryStore::FindSubKey(int64_t parent, std::u16string_view folded, int64_t* key) {
  Use use(statements_[kFindSubKey]);
  use.Int(parent).Folded(folded);
  NTSTATUS status = use.Row(STATUS_OBJECT_NAME_NOT_FOUND);
  if (NT_SUCCESS(status)) *key = use.ColumnInt(0);
  return status;
}

NTSTATUS RegistryStore::AddSubKey(int64_t parent, std::u16string_view name, std::u16string_view folded,
                                  LONGLONG time, int64_t* key) {
  Use use(statements_[kAddSubKey]);
  use.Int(parent).Name(name).Folded(folded).Int(time);
  NTSTATUS status = use.Done();
  if (NT_SUCCESS(status)) *key = sqlite3_last_insert_rowid(db_);
  return status;
}

NTSTATUS RegistryStore::KeyExists(int64_t key) {
  Use use(statements_[kKeyExists]);
  use.Int(key);
  return use.Row(STATUS_KEY_DELETED);
}

NTSTATUS RegistryStore::ParentOf(int64_t key, int64_t* parent) {
  Use use(statements_[kParentOf]);
  use.Int(key);
  NTSTATUS status = use.Row(STATUS_KEY_DELETED);
  if (NT_SUCCESS(status)) *parent = use.ColumnInt(0);
  return status;
}

NTSTATUS RegistryStore::HasSubKeys(int64_t key, bool* has) {
  Use use(statements_[kHasSubKeys]);
  use.Int(key);
  NTSTATUS status = use.Row(STATUS_NO_MORE_ENTRIES);
  *has = status == STATUS_SUCCESS;
  return status == STATUS_NO_MORE_ENTRIES ? STATUS_SUCCESS : status;
}

NTSTATUS RegistryStore::RemoveKey(int64_t key) {
  NTSTATUS status = Use(statements_[kRemoveKeyValues]).Int(key).Done();
  if (!NT_SUCCESS(status)) return status;
  return Use(statements_[kRemoveKey]).Int(key).Done();
}

NTSTATUS RegistryStore::SetLastWriteTime(int64_t key, LONGLONG time) {
  return Use(statements_[kSetLastWrite]).Int(key).Int(time).Done();
}

NTSTATUS RegistryStore::SubKeyAt(int64_t key, ULONG index, std::u16string* name, LONGLONG* lastWriteTime) {
  Use use(statements_[kSubKeyAt]);
  use.Int(key).Int(index);
  NTSTATUS status = use.Row(STATUS_NO_MORE_ENTRIES);
  if (status != STATUS_SUCCESS) return status;
  *name = use.ColumnName(0);
  *lastWriteTime = use.ColumnInt(1);
  return STATUS_SUCCESS;
}

NTSTATUS RegistryStore::KeyInfo(int64_t key, RegistryKeyInfo* info) {
  *info = {};
  {
    Use use(statements_[kSubKeyStats]);
    use.Int(key);
    NTSTATUS status = use.Row(STATUS_KEY_DELETED);
    if (!NT_SUCCESS(status)) return status;
    info->subKeys = static_cast<ULONG>(use.ColumnInt(0));
    info->maxSubKeyNameLength = static_cast<ULONG>(use.ColumnInt(1) / 2);
    info->lastWriteTime = use.ColumnInt(2);
  }
  Use use(statements_[kValueStats]);
  use.Int(key);
  NTSTATUS status = use.Row(STATUS_KEY_DELETED);
  if (!NT_SUCCESS(status)) return status;
  info->values = static_cast<ULONG>(use.ColumnInt(0));
  info->maxValueNameLength = static_cast<ULONG>(use.ColumnInt(1) / 2);
  info->maxValueDataLength = static_cast<ULONG>(use.ColumnInt(2));
  return STATUS_SUCCESS;
}

NTSTATUS RegistryStore::GetValue(int64_t key, std::u16string_view folded, ULONG* type, std::vector<BYTE>* data) {
  Use use(statements_[kGetValue]);
  use.Int(key).Folded(folded);
  NTSTATUS status = use.Row(STATUS_OBJECT_NAME_NOT_FOUND);
  if (!NT_SUCCESS(status)) return status;
  *type = static_cast<ULONG>(use.ColumnInt(0));
  *data = use.ColumnBytes(1);
  return STATUS_SUCCESS;
}

NTSTATUS RegistryStore::PutValue(int64_t key, std::u16string_view name, std::u16string_view folded, ULONG type,
                                 const void* data, size_t length) {
  return Use(statements_[kPutValue]).Int(key).Folded(folded).Name(name).Int(type).Blob(data, length).Done();
}

NTSTATUS RegistryStore::RemoveValue(int64_t key, std::u16string_view folded) {
  NTSTATUS status = Use(statements_[kRemoveValue]).Int(key).Folded(folded).Done();
  if (!NT_SUCCESS(status)) return status;
  return sqlite3_changes(db_) > 0 ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS RegistryStore::ValueAt(int64_t key, ULONG index, std::u16string* name, ULONG* type,
                                std::vector<BYTE>* data) {
  Use use(statements_[kValueAt]);
  use.Int(key).Int(index);
  NTSTATUS status = use.Row(STATUS_NO_MORE_ENTRIES);
  if (status != STATUS_SUCCESS) return status;
  *name = use.ColumnName(0);
  *type = static_cast<ULONG>(use.ColumnInt(1));
  *data = use.ColumnBytes(2);
  return STATUS_SUCCESS;
}

}  // namespace nb::kernel
