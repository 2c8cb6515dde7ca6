#include "driver/store/sqlite.h"

#include <sqlite3.h>

#include <cmath>
#include <utility>

namespace ks::driver::sqlite {

Db::Db(const std::string& path, Mode mode, bool uri) {
  int flags = SQLITE_OPEN_NOMUTEX;
  switch (mode) {
    case Mode::kReadWrite:
      flags |= SQLITE_OPEN_READWRITE;
      break;
    case Mode::kCreate:
      flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
      break;
    case Mode::kReadOnly:
      flags |= SQLITE_OPEN_READONLY;
      break;
  }
  if (uri) {
    flags |= SQLITE_OPEN_URI;
  }
  const int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close_v2(db_);
    db_ = nullptr;
    throw Error("cannot open: " + message, rc & 0xff);
  }
  sqlite3_extended_result_codes(db_, 0);
}

Db::Db(Db&& other) noexcept : db_(std::exchange(other.db_, nullptr)) {}

Db& Db::operator=(Db&& other) noexcept {
  if (this != &other) {
    sqlite3_close_v2(db_);
    db_ = std::exchange(other.db_, nullptr);
  }
  return *this;
}

Db::~Db() {
  sqlite3_close_v2(db_);
}

void Db::fail(const std::string& what, int code) const {
  throw Error(what + ": " + (db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(code)),
              code & 0xff);
}

void Db::exec(const std::string& sql) {
  char* message = nullptr;
  const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
  if (rc != SQLITE_OK) {
    std::string text = message != nullptr ? message : sqlite3_errstr(rc);
    sqlite3_free(message);
    throw Error(text, rc & 0xff);
  }
}

Statement Db::prepare(std::string_view sql) {
  sqlite3_stmt* stmt = nullptr;
  const int rc = sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()),
                                    SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
  if (rc != SQLITE_OK) {
    fail("cannot prepare", rc);
  }
  return Statement(this, stmt);
}

std::int64_t Db::changes() const {
  return sqlite3_changes64(db_);
}

std::int64_t Db::query_int(const std::string& sql) {
  Statement s = prepare(sql);
  return s.step() ? s.int64(0) : 0;
}

Statement::Statement(Statement&& other) noexcept
    : db_(std::exchange(other.db_, nullptr)), stmt_(std::exchange(other.stmt_, nullptr)) {}

Statement& Statement::operator=(Statement&& other) noexcept {
  if (this != &other) {
    sqlite3_finalize(stmt_);
    db_ = std::exchange(other.db_, nullptr);
    stmt_ = std::exchange(other.stmt_, nullptr);
  }
  return *this;
}

Statement::~Statement() {
  sqlite3_finalize(stmt_);
}

void Statement::check_bind(int rc, int i) const {
  if (rc != SQLITE_OK) {
    db_->fail("cannot bind parameter " + std::to_string(i), rc);
  }
}

Statement& Statement::bind(int i, std::int64_t v) {
  check_bind(sqlite3_bind_int64(stmt_, i, v), i);
  return *this;
}

Statement& Statement::bind(int i, double v) {
  check_bind(std::isnan(v) ? sqlite3_bind_null(stmt_, i) : sqlite3_bind_double(stmt_, i, v), i);
  return *this;
}

Statement& Statement::bind_text(int i, std::string_view v) {
  check_bind(sqlite3_bind_text64(stmt_, i, v.data(), v.size(), SQLITE_TRANSIENT, SQLITE_UTF8), i);
  return *this;
}

Statement& Statement::bind_blob(int i, std::string_view v) {
  // A zero-length blob from a null pointer would bind NULL: an empty blob is still a blob.
  check_bind(sqlite3_bind_blob64(stmt_, i, v.empty() ? "" : v.data(), v.size(), SQLITE_TRANSIENT),
             i);
  return *this;
}

Statement& Statement::bind_null(int i) {
  check_bind(sqlite3_bind_null(stmt_, i), i);
  return *this;
}

bool Statement::step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) {
    return true;
  }
  if (rc == SQLITE_DONE) {
    return false;
  }
  sqlite3_reset(stmt_);
  db_->fail("cannot write or read", rc);
}

void Statement::run() {
  try {
    while (step()) {
    }
  } catch (...) {
    reset();
    throw;
  }
  reset();
}

void Statement::reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

bool Statement::is_null(int i) const {
  return sqlite3_column_type(stmt_, i) == SQLITE_NULL;
}

std::int64_t Statement::int64(int i) const {
  return sqlite3_column_int64(stmt_, i);
}

double Statement::real(int i) const {
  return is_null(i) ? NAN : sqlite3_column_double(stmt_, i);
}

std::string Statement::text(int i) const {
  // The blob accessor returns the bytes as stored, whatever the column's type.
  const void* p = sqlite3_column_blob(stmt_, i);
  const int n = sqlite3_column_bytes(stmt_, i);
  return p != nullptr ? std::string(static_cast<const char*>(p), static_cast<std::size_t>(n))
                      : std::string();
}

std::optional<std::int64_t> Statement::opt_int64(int i) const {
  return is_null(i) ? std::nullopt : std::optional<std::int64_t>(int64(i));
}

std::optional<double> Statement::opt_real(int i) const {
  return is_null(i) ? std::nullopt : std::optional<double>(real(i));
}

std::optional<std::string> Statement::opt_text(int i) const {
  return is_null(i) ? std::nullopt : std::optional<std::string>(text(i));
}

Transaction::Transaction(Db& db) : db_(db) {
  db_.exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
  if (!done_) {
    try {
      db_.exec("ROLLBACK");
    } catch (const Error&) {
      // The failure that brought us here already rolled it back.
    }
  }
}

void Transaction::commit() {
  db_.exec("COMMIT");
  done_ = true;
}

}  // namespace ks::driver::sqlite
