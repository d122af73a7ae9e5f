#include "stores/store_db.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "platform/fs.h"
#include "port/port.h"

namespace vl {

const char* const kVornlakeInfoCreateSql =
    "create table vornlake_info ( id integer not null primary key autoincrement, type integer "
    "unsigned not null, client_type integer unsigned not null, ver_major integer unsigned not "
    "null, ver_minor integer unsigned not null, ver_build integer unsigned not null )";

const char* const kVersionCheckSql =
    "select type, client_type, ver_major, ver_minor, ver_build from vornlake_info";

#ifdef VORNLAKE_FAULT_HOOKS
namespace {

std::atomic<int> g_fault_prepare{0};
std::atomic<int> g_fault_step{0};
std::atomic<int> g_fault_exec{0};
std::atomic<int> g_fault_commit{0};

// Counts down an armed fault; true when this call is the one that fails.
bool fault_hit(std::atomic<int>& counter) {
  int n = counter.load();
  while (n > 0) {
    if (counter.compare_exchange_weak(n, n - 1)) return n == 1;
  }
  return false;
}

}  // namespace

void store_fault_set(StoreCall call, int nth) {
  switch (call) {
    case StoreCall::prepare: g_fault_prepare = nth; break;
    case StoreCall::step: g_fault_step = nth; break;
    case StoreCall::exec: g_fault_exec = nth; break;
    case StoreCall::commit: g_fault_commit = nth; break;
  }
}
#else
// Without the hooks no call is ever failed on purpose.
#define fault_hit(counter) false
#endif

Db& Db::operator=(Db&& o) noexcept {
  if (this != &o) {
    close();
    h_ = o.h_;
    stmts_ = std::move(o.stmts_);
    o.h_ = nullptr;
  }
  return *this;
}

int Db::close() {
  stmts_.clear();  // a connection with statements left unfinalized cannot close
  int rc = h_ ? sqlite3_close(h_) : SQLITE_OK;
  h_ = nullptr;
  return rc;
}

int Db::open(const std::string& path, bool create) {
  // SQLite counts every allocation under one process-wide lock, and the worker and the catalog
  // writer allocate at the same time. Nothing here reads the count, so it is off before the
  // library starts.
  static const bool unmetered = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0) == SQLITE_OK;
  (void)unmetered;
  close();
  // Each connection is used by one thread at a time (its statement cache is not shared either),
  // so it goes without the per-call locking of the serialized mode.
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  // A link at the database's name is refused: SQLite would open, or create, the file it points
  // to, and a link planted in the data folder would have a database written over another file.
  // SQLite opens its journals and shared-memory files without following links itself.
  flags |= SQLITE_OPEN_NOFOLLOW;
  return sqlite3_open_v2(path_folder_resolved(path).c_str(), &h_, flags, nullptr);
}

StmtLease Db::prepared(const char* sql, const char* operation) {
  if (h_ && !fault_hit(g_fault_prepare)) {
    Stmt& stmt = stmts_[sql];
    if (stmt.get()) return StmtLease(&stmt);
    if (sqlite3_prepare_v2(h_, sql, -1, stmt.out(), nullptr) == SQLITE_OK && stmt.get())
      return StmtLease(&stmt);
    stmts_.erase(sql);
  }
  store_sql_error(operation, "Couldn't prepare SQL statement");
  return StmtLease();
}

void Stmt::finalize() {
  if (h_) sqlite3_finalize(h_);
  h_ = nullptr;
}

void Stmt::reset() {
  if (!h_) return;
  sqlite3_reset(h_);
  sqlite3_clear_bindings(h_);
}

int db_prepare(sqlite3* db, const char* sql, Stmt* stmt) {
  sqlite3_stmt** out = stmt->out();
  if (!db) return SQLITE_MISUSE;
  if (fault_hit(g_fault_prepare)) return SQLITE_ERROR;
  return sqlite3_prepare_v2(db, sql, -1, out, nullptr);
}

int db_step(Stmt& stmt) {
  if (fault_hit(g_fault_step)) return SQLITE_ERROR;
  return sqlite3_step(stmt.get());
}

int db_bind_int(Stmt& s, int index, int32_t v) { return sqlite3_bind_int(s.get(), index, v); }

int db_bind_uint(Stmt& s, int index, uint32_t v) {
  return sqlite3_bind_int(s.get(), index, static_cast<int32_t>(v));
}

int db_bind_int64(Stmt& s, int index, uint64_t v) {
  return sqlite3_bind_int64(s.get(), index, static_cast<sqlite3_int64>(v));
}

int db_bind_text(Stmt& s, int index, const std::string& v) {
  return sqlite3_bind_text(s.get(), index, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
}

int db_bind_blob(Stmt& s, int index, const void* data, int size) {
  return sqlite3_bind_blob(s.get(), index, data, size, SQLITE_TRANSIENT);
}

std::string db_column_text(Stmt& s, int column, size_t max_chars) {
  const unsigned char* text = sqlite3_column_text(s.get(), column);
  if (!text) return std::string();
  size_t n = static_cast<size_t>(sqlite3_column_bytes(s.get(), column));
  if (n > max_chars) n = max_chars;
  return std::string(reinterpret_cast<const char*>(text), n);
}

int db_exec(sqlite3* db, const std::string& sql, std::string* err) {
  if (!db || fault_hit(g_fault_exec) || (sql == "commit" && fault_hit(g_fault_commit))) {
    // A refused commit stands for a full disk, the usual reason a commit fails.
    int rc = !db ? SQLITE_MISUSE : sql == "commit" ? SQLITE_FULL : SQLITE_ERROR;
    if (err) *err = sqlite3_errstr(rc);
    return rc;
  }
  char* msg = nullptr;
  int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg);
  if (err) *err = msg ? msg : (rc != SQLITE_OK ? sqlite3_errstr(rc) : "");
  sqlite3_free(msg);
  return rc;
}

int db_commit(sqlite3* db, std::string* err) {
  int rc = db_exec(db, "commit", err);
  if (rc != SQLITE_OK && db && !sqlite3_get_autocommit(db)) db_exec(db, "rollback");
  return rc;
}

void store_box(const std::string& text, const std::string& caption) {
  message_box(BoxOwner::none, text, caption);
}

void store_sql_error(const char* operation, const std::string& text) {
  store_box(text, std::string("SQL Error in ") + operation);
}

bool binds_ok(const char* operation, std::initializer_list<BindStep> binds) {
  for (const BindStep& b : binds) {
    if (b.rc != SQLITE_OK) {
      store_sql_error(operation, b.fail_text);
      return false;
    }
  }
  return true;
}

bool step_done(Stmt& s, const char* operation, const char* fail_text) {
  if (db_step(s) == SQLITE_DONE) return true;
  store_sql_error(operation, fail_text);
  return false;
}

std::string version_seed_sql(const char* fmt) {
  char buf[128];
  std::snprintf(buf, sizeof buf, fmt, kVersionMajor, kVersionMinor, kVersionBuild);
  return buf;
}

void schema_drop(sqlite3* db, const std::vector<const char*>& tables) {
  for (const char* name : tables) db_exec(db, std::string("drop table ") + name);
}

int schema_run(sqlite3* db, const std::vector<SchemaStep>& steps, const std::string& caption) {
  for (const SchemaStep& step : steps) {
    std::string err;
    if (db_exec(db, step.sql, &err) != SQLITE_OK) {
      store_box(step.fail_text, caption);
      return 1;
    }
  }
  return 0;
}

bool store_rc_damaged(int rc) {
  return (rc & 0xff) == SQLITE_CORRUPT || (rc & 0xff) == SQLITE_NOTADB;
}

void store_unusable_boxes(const std::string& err, const std::string& path, int rc) {
  store_box(err + ": " + path, "SQL Error");
  char text[32];
  std::snprintf(text, sizeof text, "result = %d", rc);
  store_box(text, "SQL Error");
}

BusyCancel::BusyCancel(sqlite3* db, std::stop_token cancel)
    : db_(db), cancel_(std::move(cancel)) {
  if (db_ && cancel_.stop_possible()) sqlite3_busy_handler(db_, &BusyCancel::wait, this);
}

BusyCancel::~BusyCancel() {
  if (db_ && cancel_.stop_possible()) sqlite3_busy_timeout(db_, kBusyLongMs);
}

// SQLite's own steps (1 ms growing to 100 ms) up to the long time-out, each cut short by a cancel.
int BusyCancel::wait(void* self, int count) {
  static const int kSteps[] = {1, 2, 5, 10, 15, 20, 25, 25, 25, 50, 50, 100};
  constexpr int kLast = sizeof kSteps / sizeof kSteps[0] - 1;
  auto* b = static_cast<BusyCancel*>(self);
  if (count == 0) b->waited_ms_ = 0;
  if (b->cancel_.stop_requested() || b->waited_ms_ >= kBusyLongMs) return 0;
  const int step = kSteps[count < kLast ? count : kLast];
  std::mutex mu;
  std::condition_variable_any cv;
  std::unique_lock<std::mutex> lock(mu);
  cv.wait_for(lock, b->cancel_, std::chrono::milliseconds(step), [] { return false; });
  b->waited_ms_ += step;
  return b->cancel_.stop_requested() ? 0 : 1;
}

int store_open_or_create(Db* db, const std::string& path, const char* open_fail_text,
                         int (*create)(sqlite3*), bool damaged_quiet) {
  if (db->open(path, true) != SQLITE_OK) {
    store_box(open_fail_text, "Blah!");
    db->close();
    return 1;
  }
  sqlite3_busy_timeout(db->get(), kBusyLongMs);
  std::string err;
  int rc = db_exec(db->get(), kVersionCheckSql, &err);
  if (rc == SQLITE_ERROR) {
    // No version table: a new file (or one that lost its record) gets its tables. Runs started
    // together on a new data folder all get here: the write lock is taken first (the others wait
    // for it), and one that finds the tables made meanwhile uses them. Without it the second
    // run's creation failed on the first one's tables and that run did not start.
    rc = db_exec(db->get(), "begin immediate", &err);
    if (rc == SQLITE_OK) {
      rc = db_exec(db->get(), kVersionCheckSql, &err);
      if (rc == SQLITE_ERROR) {
        if (create(db->get()) != 0) {
          db->close();  // discards the half-made tables
          return 1;
        }
        rc = SQLITE_OK;
      }
      if (rc == SQLITE_OK) rc = db_commit(db->get(), &err);
    }
  }
  if (rc != SQLITE_OK) {
    db->close();
    if (damaged_quiet && store_rc_damaged(rc)) return kStoreDamaged;
    store_unusable_boxes(err, path, rc);
    return 1;
  }
  file_make_private(path);
  return 0;
}

uint32_t store_find_id(Db& db, const char* sql, const char* operation, const std::string& path,
                       bool* failed) {
  StmtLease q = db.prepared(sql, operation);
  bool ok = q && binds_ok(operation, {{db_bind_text(*q, 1, path), "Couldn't bind filespec"}});
  int rc = ok ? db_step(*q) : SQLITE_ERROR;
  if (rc == SQLITE_ROW) return static_cast<uint32_t>(sqlite3_column_int64(q.get(), 0));
  if (ok && rc != SQLITE_DONE) store_sql_error(operation, "Error executing statement");
  if (rc != SQLITE_DONE && failed) *failed = true;
  return 0;
}

}  // namespace vl
