#pragma once
// The platform's one layer over SQLite, used by the store and the component catalog: a
// connection that names its file in every error, and statements with bound parameters. Every
// failure raises PlatformError: kCorrupt when the file is not a usable database, kAlreadyExists
// when a uniqueness rule is broken, kFail otherwise; a file that cannot be opened raises the
// number the caller chose.

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace drossgate::platform::sqlite {

struct OpenOptions {
  const char* noun = "database";  // how messages name the file ("The store ...")
  int32_t openFailure = 0;        // the error number when it cannot be opened (0: kFail)
  int busyTimeoutMs = 15000;      // how long a statement waits for another writer
  bool shared = false;            // used by several threads at once (serialised mode)
};

class Connection {
 public:
  // Opens an existing file for reading and writing.
  Connection(std::string file, const OpenOptions& options);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  sqlite3* handle() const { return db_; }
  const std::string& file() const { return file_; }
  void Exec(const char* sql, std::string_view what = "run a statement");
  // For rolling back after a failure, whose own failure leaves nothing to add.
  void ExecQuietly(const char* sql) noexcept;
  sqlite3_stmt* Prepare(const char* sql, bool persistent = false);
  [[noreturn]] void Raise(int rc, std::string_view what) const;
  int64_t LastInsertId() const;
  int Changes() const;
  // Serialises a shared connection's multi-statement work between threads.
  std::recursive_mutex& mutex() { return mutex_; }

 private:
  std::string file_;
  const char* noun_;
  sqlite3* db_ = nullptr;
  std::recursive_mutex mutex_;
};

// The parameters and columns of a prepared statement; owned says whether it is finalized at the
// end (else only reset, for a statement kept in a cache).
class Statement {
 public:
  Statement(Connection& c, sqlite3_stmt* st, bool owned) : c_(c), st_(st), owned_(owned) {}
  Statement(Connection& c, const char* sql) : Statement(c, c.Prepare(sql), true) {}
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, int64_t value);
  Statement& Bind(int index, std::string_view text);
  // A zero-length blob, not NULL, for empty bytes.
  Statement& BindBlob(int index, std::string_view bytes);
  Statement& BindNull(int index);
  bool Step();  // true while there is a row
  void Run();   // steps to the end
  void Reset();
  bool IsNull(int col) const;
  int64_t Int(int col) const;
  std::string Text(int col) const;  // text or blob bytes

 private:
  Connection& c_;
  sqlite3_stmt* st_;
  bool owned_;
};

// BEGIN ... COMMIT, rolled back when left without Commit(). A writer begins with
// "BEGIN IMMEDIATE" so that it waits for other writers up front instead of failing later.
class Transaction {
 public:
  Transaction(Connection& c, const char* begin) : c_(c) { c_.Exec(begin, "begin"); }
  ~Transaction() {
    if (open_) c_.ExecQuietly("ROLLBACK");
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void Commit() {
    c_.Exec("COMMIT", "commit");
    open_ = false;
  }

 private:
  Connection& c_;
  bool open_ = true;
};

}  // namespace drossgate::platform::sqlite
