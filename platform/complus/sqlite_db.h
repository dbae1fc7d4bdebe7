#pragma once
// A thin layer over SQLite for the catalog: a connection that names its file in every error,
// and prepared statements with bound parameters. Every failure raises PlatformError (kCorrupt
// when the file is not a usable database, kFail otherwise).

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace drossgate::platform::complus {

class Db;

class Stmt {
 public:
  Stmt(Db& db, const char* sql);
  ~Stmt();
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  Stmt& Bind(int index, int64_t value);
  Stmt& Bind(int index, const std::string& value);
  Stmt& BindNull(int index);
  // True while a row is available.
  bool Step();
  void Run();  // steps to completion
  void Reset();

  bool IsNull(int col) const;
  int64_t Int(int col) const;
  std::string Text(int col) const;

 private:
  Db& db_;
  sqlite3_stmt* stmt_ = nullptr;
};

class Db {
 public:
  // Opens an existing file for reading and writing; raises when it cannot be opened.
  explicit Db(const std::string& file);
  ~Db();
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;

  void Exec(const char* sql);
  int64_t LastInsertId() const;
  int Changes() const;
  const std::string& file() const { return file_; }
  sqlite3* handle() const { return db_; }
  // Serialises this connection's multi-statement work between threads.
  std::recursive_mutex& mutex() { return mutex_; }
  [[noreturn]] void Raise(const std::string& what) const;

 private:
  std::string file_;
  sqlite3* db_ = nullptr;
  std::recursive_mutex mutex_;
};

// BEGIN ... COMMIT, rolled back when left without Commit(). A writer begins with
// "BEGIN IMMEDIATE" so that it waits for other writers up front instead of failing later.
class Transaction {
 public:
  Transaction(Db& db, const char* begin);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void Commit();

 private:
  Db& db_;
  bool open_ = true;
};

}  // namespace drossgate::platform::complus
