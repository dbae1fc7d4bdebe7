#include "sqlite_db.h"

#include <sqlite3.h>

#include "error.h"

namespace drossgate::platform::sqlite {

Connection::Connection(std::string file, const OpenOptions& options)
    : file_(std::move(file)), noun_(options.noun) {
  const int flags =
      SQLITE_OPEN_READWRITE | (options.shared ? SQLITE_OPEN_FULLMUTEX : SQLITE_OPEN_NOMUTEX);
  const int rc = sqlite3_open_v2(file_.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    const std::string why = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close_v2(db_);
    db_ = nullptr;
    Fail(options.openFailure ? options.openFailure : errors::kFail,
         std::string("The ") + noun_ + " " + file_ + " cannot be opened: " + why);
  }
  sqlite3_busy_timeout(db_, options.busyTimeoutMs);
  sqlite3_extended_result_codes(db_, 1);
}

Connection::~Connection() {
  sqlite3_close_v2(db_);
}

void Connection::Raise(int rc, std::string_view what) const {
  const int code = rc & 0xff;
  const int32_t number = code == SQLITE_CORRUPT || code == SQLITE_NOTADB ? errors::kCorrupt
                         : code == SQLITE_CONSTRAINT                     ? errors::kAlreadyExists
                                                                         : errors::kFail;
  Fail(number, std::string("The ") + noun_ + " " + file_ + " failed (" + std::string(what) +
                   "): " + (db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc)));
}

void Connection::Exec(const char* sql, std::string_view what) {
  char* err = nullptr;
  const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &err);
  sqlite3_free(err);
  if (rc != SQLITE_OK) Raise(rc, what);
}

void Connection::ExecQuietly(const char* sql) noexcept {
  sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
}

sqlite3_stmt* Connection::Prepare(const char* sql, bool persistent) {
  sqlite3_stmt* st = nullptr;
  const int rc =
      sqlite3_prepare_v3(db_, sql, -1, persistent ? SQLITE_PREPARE_PERSISTENT : 0, &st, nullptr);
  if (rc != SQLITE_OK) Raise(rc, sql);
  return st;
}

int64_t Connection::LastInsertId() const {
  return sqlite3_last_insert_rowid(db_);
}

int Connection::Changes() const {
  return sqlite3_changes(db_);
}

Statement::~Statement() {
  if (owned_) {
    sqlite3_finalize(st_);
  } else {
    sqlite3_reset(st_);
    sqlite3_clear_bindings(st_);
  }
}

Statement& Statement::Bind(int index, int64_t value) {
  if (sqlite3_bind_int64(st_, index, value) != SQLITE_OK) c_.Raise(SQLITE_MISUSE, "bind a value");
  return *this;
}

Statement& Statement::Bind(int index, std::string_view text) {
  if (sqlite3_bind_text64(st_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8) !=
      SQLITE_OK)
    c_.Raise(SQLITE_TOOBIG, "bind a value");
  return *this;
}

Statement& Statement::BindBlob(int index, std::string_view bytes) {
  if (sqlite3_bind_blob64(st_, index, bytes.empty() ? "" : bytes.data(), bytes.size(),
                          SQLITE_TRANSIENT) != SQLITE_OK)
    c_.Raise(SQLITE_TOOBIG, "bind a value");
  return *this;
}

Statement& Statement::BindNull(int index) {
  if (sqlite3_bind_null(st_, index) != SQLITE_OK) c_.Raise(SQLITE_MISUSE, "bind a value");
  return *this;
}

bool Statement::Step() {
  const int rc = sqlite3_step(st_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  c_.Raise(rc, sqlite3_sql(st_));
}

void Statement::Run() {
  while (Step()) {
  }
}

void Statement::Reset() {
  sqlite3_reset(st_);
  sqlite3_clear_bindings(st_);
}

bool Statement::IsNull(int col) const {
  return sqlite3_column_type(st_, col) == SQLITE_NULL;
}

int64_t Statement::Int(int col) const {
  return sqlite3_column_int64(st_, col);
}

std::string Statement::Text(int col) const {
  const void* p = sqlite3_column_blob(st_, col);
  const int n = sqlite3_column_bytes(st_, col);
  return p ? std::string(static_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
}

}  // namespace drossgate::platform::sqlite
