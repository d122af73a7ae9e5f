// What every local database shares: RAII handles for connections and statements, the version
// record, the open-or-create procedure of the long-lived databases, schema creation, the way a
// failing step is reported, and a fault-injection seam for the tests.
//
// Every failure is shown at once in a message box without owner (through the UI port) and the
// operation returns its failure value; there is no other log.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <initializer_list>
#include <stop_token>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/product.h"

namespace vl {


// Busy time-outs: long-lived databases and catalogs wait for another connection's lock for two
// minutes; a profile database only briefly.
constexpr int kBusyLongMs = 120000;
constexpr int kBusyProfileMs = 10;

extern const char* const kVornlakeInfoCreateSql;
extern const char* const kVersionCheckSql;

// While it lives, db's busy waits (the long time-out) give up at once when cancel is requested:
// a cancelled run does not wait two minutes for a lock another connection holds. Without a
// token that can be requested it changes nothing.
class BusyCancel {
 public:
  BusyCancel(sqlite3* db, std::stop_token cancel);
  ~BusyCancel();
  BusyCancel(const BusyCancel&) = delete;
  BusyCancel& operator=(const BusyCancel&) = delete;

 private:
  static int wait(void* self, int count);
  sqlite3* db_;
  std::stop_token cancel_;
  int waited_ms_ = 0;
};

// A prepared statement, finalized on destruction.
class Stmt {
 public:
  Stmt() = default;
  ~Stmt() { finalize(); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  sqlite3_stmt* get() const { return h_; }
  sqlite3_stmt** out() { finalize(); return &h_; }
  void finalize();
  // Back to its start with no values bound: a statement left on a row keeps its read lock.
  void reset();

 private:
  sqlite3_stmt* h_ = nullptr;
};

// A statement of a connection's cache, lent for one operation and reset (bindings cleared) when
// the lease ends. An empty lease stands for a statement that could not be prepared.
// REQUIRES: the lease ends before its connection closes.
class StmtLease {
 public:
  StmtLease() = default;
  explicit StmtLease(Stmt* s) : s_(s) {}
  ~StmtLease() {
    if (s_) s_->reset();
  }
  StmtLease(const StmtLease&) = delete;
  StmtLease& operator=(const StmtLease&) = delete;
  StmtLease(StmtLease&& o) noexcept : s_(o.s_) { o.s_ = nullptr; }
  StmtLease& operator=(StmtLease&& o) noexcept {
    if (this != &o) {
      if (s_) s_->reset();
      s_ = o.s_;
      o.s_ = nullptr;
    }
    return *this;
  }

  explicit operator bool() const { return s_ != nullptr; }
  Stmt& operator*() const { return *s_; }
  sqlite3_stmt* get() const { return s_->get(); }

 private:
  Stmt* s_ = nullptr;
};

// An open SQLite connection with the statements prepared on it; closing finalizes them first.
class Db {
 public:
  Db() = default;
  ~Db() { close(); }
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;
  Db(Db&& o) noexcept : h_(o.h_), stmts_(std::move(o.stmts_)) { o.h_ = nullptr; }
  Db& operator=(Db&& o) noexcept;

  sqlite3* get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }
  // Finalizes the cached statements and closes the connection (if any); the handle becomes none.
  // Returns SQLite's result of the close (0 when there was nothing to close).
  int close();
  // Opens path, creating the file when it is absent (create) or failing then (!create); a
  // symbolic link at path fails it (links along the folders are followed). Returns SQLite's
  // result; on failure the handle SQLite returned is kept so that close() releases it.
  int open(const std::string& path, bool create);

  // The statement of sql, prepared at its first use on this connection and reused after that:
  // preparing again on every call cost more than running most of these statements. An empty
  // lease after the box "Couldn't prepare SQL statement" under "SQL Error in " + operation (the
  // next call tries again). REQUIRES: sql is a constant text (its address is the key).
  StmtLease prepared(const char* sql, const char* operation);

 private:
  sqlite3* h_ = nullptr;
  std::unordered_map<const char*, Stmt> stmts_;
};

// sqlite3_prepare_v2 of sql into *stmt (length -1), for statements run once. A connection that
// is not open gives SQLITE_MISUSE instead of reaching SQLite.
int db_prepare(sqlite3* db, const char* sql, Stmt* stmt);
// sqlite3_step; 100 is a row, 101 the end, anything else a failure.
int db_step(Stmt& stmt);

// Binds with SQLite's conventions: texts with their byte length and the transient destructor.
int db_bind_int(Stmt& s, int index, int32_t v);
int db_bind_uint(Stmt& s, int index, uint32_t v);  // the 32 bits as SQLite's 32-bit integer
int db_bind_int64(Stmt& s, int index, uint64_t v);
int db_bind_text(Stmt& s, int index, const std::string& v);
int db_bind_blob(Stmt& s, int index, const void* data, int size);

// A result column as text ("" for NULL), optionally cut to max_chars bytes.
std::string db_column_text(Stmt& s, int column, size_t max_chars = std::string::npos);

// sqlite3_exec without a row callback. Returns SQLite's result; when err is given it receives
// SQLite's message (the message is always released).
int db_exec(sqlite3* db, const std::string& sql, std::string* err = nullptr);

// Executes "commit"; when that fails and the transaction is still open, executes "rollback", so
// that a failed commit does not leave this connection holding its locks. Returns SQLite's result
// of the commit; err receives its message.
int db_commit(sqlite3* db, std::string* err = nullptr);

// The box every store failure is reported with (no owner window). Any thread.
void store_box(const std::string& text, const std::string& caption);

// Same with the caption "SQL Error in " and the operation's name.
void store_sql_error(const char* operation, const std::string& text);

// One bind of a statement: SQLite's result and the text shown when it failed.
struct BindStep {
  int rc;
  const char* fail_text;
};

// The binds of one statement, made in the order listed. Reports the first that failed under
// "SQL Error in " + operation and returns false; true when all succeeded.
bool binds_ok(const char* operation, std::initializer_list<BindStep> binds);

// Steps a statement that returns no rows. False after the box fail_text under "SQL Error in " +
// operation when it did not finish with SQLITE_DONE.
bool step_done(Stmt& s, const char* operation, const char* fail_text);

// The id of the row that `sql` (one text parameter: a path) finds on db, 0 when there is none.
// Failures are reported as "Couldn't prepare SQL statement", "Couldn't bind filespec" or "Error
// executing statement" under "SQL Error in " + operation, give 0 and set *failed when given.
uint32_t store_find_id(Db& db, const char* sql, const char* operation, const std::string& path,
                       bool* failed = nullptr);

// "insert into vornlake_info values ( null, <type>, 1, %d, %d, %d )" filled with this version.
// fmt is the seeding statement with its type code already in the text.
std::string version_seed_sql(const char* fmt);

// One step of a creation procedure: a statement and the text shown when it fails.
struct SchemaStep {
  std::string sql;
  const char* fail_text;
};

// Executes "drop table <name>" for every name, ignoring the results (a table that was kept while
// its version record was lost must not block the creation).
void schema_drop(sqlite3* db, const std::vector<const char*>& tables);

// Executes each step in order. At the first failure shows the step's text with caption and
// returns 1 (SQLite's message is not shown); 0 when every step succeeded.
int schema_run(sqlite3* db, const std::vector<SchemaStep>& steps, const std::string& caption);

// True for the results SQLite gives for a malformed file: not a database, or a damaged one.
bool store_rc_damaged(int rc);

// The two boxes of a database that cannot be used: "SQL Error" with SQLite's text followed by
// ": " and the file's path (so that the user knows which file), then "result = %d".
void store_unusable_boxes(const std::string& err, const std::string& path, int rc);

// open_or_create result of a malformed file when the caller handles that itself.
constexpr int kStoreDamaged = 2;

// Open-or-create of a long-lived database (configuration database, block-hash cache): opens path
// into *db, sets the long busy time-out and runs the version check. A file without the version
// table is new: create(handle) builds its tables in one transaction under the write lock, and
// any number of processes may do this at once (one creates, the others wait and use the tables
// it made). A file that is not a database, is damaged or
// stays locked gives store_unusable_boxes and is left untouched; with damaged_quiet a malformed
// file (store_rc_damaged) gives kStoreDamaged instead, without a box. A file that cannot be
// opened gives open_fail_text with the caption "Blah!". Returns 0 when the database is ready
// (and owner-only), otherwise 1 or kStoreDamaged with *db closed.
int store_open_or_create(Db* db, const std::string& path, const char* open_fail_text,
                         int (*create)(sqlite3*), bool damaged_quiet = false);

#ifdef VORNLAKE_FAULT_HOOKS
// Fault-injection seam (test builds only): the nth call of the kind from now on (1 = the next)
// fails as if SQLite had refused it; 0 disarms. prepare counts every statement an operation
// uses (cached or not), exec every sqlite3_exec, commit only the executed "commit"s (which exec
// counts too). Any thread; counts are process-wide.
enum class StoreCall { prepare, step, exec, commit };
void store_fault_set(StoreCall call, int nth);
#endif

}  // namespace vl
