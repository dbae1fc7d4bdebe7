#include "complus/sqlite_db.h"

#include <sqlite3.h>

#include "error.h"

namespace drossgate::platform::complus {

Db::Db(const std::string& file) : file_(file) {
  int rc =
      sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    std::string why = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close(db_);
    db_ = nullptr;
    Fail(errors::kCorrupt, "The catalog file " + file + " cannot be opened: " + why);
  }
  sqlite3_busy_timeout(db_, 15000);
  sqlite3_extended_result_codes(db_, 1);
}

Db::~Db() {
  sqlite3_close_v2(db_);
}

void Db::Raise(const std::string& what) const {
  int rc = sqlite3_errcode(db_) & 0xFF;
  std::string msg = "The catalog file " + file_ + ": " + what + ": " + sqlite3_errmsg(db_);
  if (rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT) Fail(errors::kCorrupt, msg);
  if (rc == SQLITE_CONSTRAINT) Fail(errors::kAlreadyExists, msg);
  Fail(errors::kFail, msg);
}

void Db::Exec(const char* sql) {
  char* err = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) != SQLITE_OK) {
    sqlite3_free(err);
    Raise("cannot run a statement");
  }
}

int64_t Db::LastInsertId() const {
  return sqlite3_last_insert_rowid(db_);
}
int Db::Changes() const {
  return sqlite3_changes(db_);
}

Stmt::Stmt(Db& db, const char* sql) : db_(db) {
  if (sqlite3_prepare_v2(db.handle(), sql, -1, &stmt_, nullptr) != SQLITE_OK)
    db.Raise("cannot read the catalog");
}

Stmt::~Stmt() {
  sqlite3_finalize(stmt_);
}

Stmt& Stmt::Bind(int index, int64_t value) {
  if (sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK) db_.Raise("cannot bind a value");
  return *this;
}

Stmt& Stmt::Bind(int index, const std::string& value) {
  if (sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()),
                        SQLITE_TRANSIENT) != SQLITE_OK)
    db_.Raise("cannot bind a value");
  return *this;
}

Stmt& Stmt::BindNull(int index) {
  if (sqlite3_bind_null(stmt_, index) != SQLITE_OK) db_.Raise("cannot bind a value");
  return *this;
}

bool Stmt::Step() {
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  db_.Raise("a catalog statement failed");
}

void Stmt::Run() {
  while (Step()) {
  }
}

void Stmt::Reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

bool Stmt::IsNull(int col) const {
  return sqlite3_column_type(stmt_, col) == SQLITE_NULL;
}
int64_t Stmt::Int(int col) const {
  return sqlite3_column_int64(stmt_, col);
}
std::string Stmt::Text(int col) const {
  const unsigned char* p = sqlite3_column_text(stmt_, col);
  int n = sqlite3_column_bytes(stmt_, col);
  return p ? std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
}

Transaction::Transaction(Db& db, const char* begin) : db_(db) {
  db_.Exec(begin);
}

Transaction::~Transaction() {
  if (open_) sqlite3_exec(db_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::Commit() {
  db_.Exec("COMMIT");
  open_ = false;
}

}  // namespace drossgate::platform::complus
