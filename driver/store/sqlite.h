// A thin owner of SQLite 3 connections and statements: errors become exceptions with one line,
// handles are released by their destructors, values are bound and read with their types.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace ks::driver::sqlite {

// A failed SQLite call: "<what>: <SQLite's message>".
class Error : public std::runtime_error {
 public:
  Error(const std::string& what, int code) : std::runtime_error(what), code_(code) {}
  int code() const { return code_; }  // SQLite's primary result code

 private:
  int code_;
};

enum class Mode { kReadWrite, kCreate, kReadOnly };

class Statement;

class Db {
 public:
  Db() = default;
  // `path` is passed to the file system as it is (any bytes but NUL). With `uri`, `path` is a
  // "file:" URI instead.
  Db(const std::string& path, Mode mode, bool uri = false);
  Db(Db&& other) noexcept;
  Db& operator=(Db&& other) noexcept;
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;
  ~Db();

  // Runs one or more statements that return no rows of interest.
  void exec(const std::string& sql);
  Statement prepare(std::string_view sql);
  std::int64_t changes() const;  // rows changed by the last statement
  // A single integer, such as a PRAGMA's value.
  std::int64_t query_int(const std::string& sql);
  bool open() const { return db_ != nullptr; }
  sqlite3* handle() const { return db_; }

 private:
  friend class Statement;
  [[noreturn]] void fail(const std::string& what, int code) const;
  sqlite3* db_ = nullptr;
};

class Statement {
 public:
  Statement() = default;
  Statement(Statement&& other) noexcept;
  Statement& operator=(Statement&& other) noexcept;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement();

  // Parameters count from 1. Text and blobs are copied, so the arguments need not outlive the
  // call. A missing optional binds NULL.
  Statement& bind(int i, std::int64_t v);
  Statement& bind(int i, double v);  // NaN binds NULL
  Statement& bind_text(int i, std::string_view v);
  Statement& bind_blob(int i, std::string_view v);
  Statement& bind_null(int i);
  template <typename T>
  Statement& bind(int i, const std::optional<T>& v) {
    return v ? bind(i, *v) : bind_null(i);
  }

  bool prepared() const { return stmt_ != nullptr; }
  // Steps once: true while a row is available.
  bool step();
  // Steps a statement that returns no rows, then resets it for the next use.
  void run();
  void reset();  // also clears the bindings

  // Columns count from 0.
  bool is_null(int i) const;
  std::int64_t int64(int i) const;
  double real(int i) const;       // NULL reads as NaN
  std::string text(int i) const;  // the bytes of a text or blob column
  std::optional<std::int64_t> opt_int64(int i) const;
  std::optional<double> opt_real(int i) const;
  std::optional<std::string> opt_text(int i) const;

 private:
  friend class Db;
  Statement(const Db* db, sqlite3_stmt* stmt) : db_(db), stmt_(stmt) {}
  void check_bind(int rc, int i) const;
  const Db* db_ = nullptr;
  sqlite3_stmt* stmt_ = nullptr;
};

// BEGIN IMMEDIATE now; ROLLBACK at destruction unless commit() was called.
class Transaction {
 public:
  explicit Transaction(Db& db);
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  ~Transaction();
  void commit();

 private:
  Db& db_;
  bool done_ = false;
};

}  // namespace ks::driver::sqlite
