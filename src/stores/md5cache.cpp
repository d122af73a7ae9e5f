#include "stores/md5cache.h"

#include <cstdio>
#include <cstring>
#include <list>

#include "platform/dirs.h"
#include "platform/fs.h"
#include "stores/store_db.h"

namespace vl {

namespace {

// The transaction a connection has open between calls: none, the look-ups' read batch, or a
// write (a flush, or one write operation called on its own).
enum class Txn { none, read, write };

struct Conn {
  Db db;
  Txn txn = Txn::none;
  uint32_t read_lookups = 0;  // made in the open read transaction
};

Conn g_main;    // look-ups, writes and flushes of the worker; start-up and shutdown
Conn g_batch_conn;  // the batches of md5cache_batch_write, on a connection of their own
std::string g_path;
std::list<PendingCacheFile> g_pending;  // a list: entries handed out stay where they are
uint32_t g_pending_files = 0;
uint32_t g_pending_blocks = 0;
uint32_t g_flush_files = kFlushFiles;
bool g_walk_of_empty = false;  // this walk began with no file in the cache: nothing to look up
std::string g_notice;

const char* const kCacheFile = "md5cache.dat";
const char* const kFilespecCreateSql =
    "create table filespec ( id integer not null primary key autoincrement, filespec "
    "varchar(256) not null, size integer unsigned not null, blocksize integer unsigned not null, "
    "t_modify integer unsigned not null, t_lastcheck integer unsigned not null )";
const char* const kFilespecIdxSql = "create unique index filespec_idx on filespec( filespec )";
const char* const kFilespecLastcheckSql =
    "create index filespec_t_lastcheck on filespec( t_lastcheck )";
const char* const kSegsCreateSql =
    "create table segs ( id integer not null primary key autoincrement, file_id integer unsigned "
    "not null, offset integer unsigned not null, size integer unsigned not null, md5 text(32) not "
    "null )";
const char* const kFileIdIdxSql = "create index file_id_idx on segs( file_id )";
const char* const kOffsetIdxSql = "create index offset_idx on segs( offset )";
const char* const kCacheSeedSql = "insert into vornlake_info values ( null, 16, 1, %d, %d, %d )";

const char* const kFindSql = "select id from filespec where filespec=?";
const char* const kGetDataSql =
    "select size, t_modify, t_lastcheck, blocksize from filespec where id=?";
const char* const kUpdateSql =
    "update filespec set size=?, blocksize=?, t_modify=?, t_lastcheck=? where id=?";
const char* const kInsertSql =
    "insert into filespec( filespec, size, blocksize, t_modify, t_lastcheck ) values (?,?,?,?,?)";
const char* const kSegsDeleteAllSql = "delete from segs where file_id=%u";
const char* const kSegsDeleteOneSql = "delete from segs where file_id=%u and offset=%llu";
const char* const kSegsInsertSql = "insert into segs( file_id, offset, size, md5 ) values (?,?,?,?)";
const char* const kSegsMd5Sql = "select md5 from segs where file_id=? and offset=?";
const char* const kSegsSizeSql = "select size from segs where file_id=? and offset=?";
const char* const kSegsOfFileSql =
    "select offset, size, md5 from segs where file_id=? order by offset, id";

int md5cache_init_tables(sqlite3* db) {
  schema_drop(db, {"vornlake_info", "filespec", "segs"});
  return schema_run(
      db,
      {{kFilespecCreateSql, "Error initializing md5cache.dat / filespec"},
       {kFilespecIdxSql, "Error creating indexes on md5cache.dat / filespec"},
       {kFilespecLastcheckSql, "Error creating indexes on md5cache.dat / filespec"},
       {kSegsCreateSql, "Error initializing md5cache.dat / segs"},
       {kFileIdIdxSql, "Error creating indexes on md5cache.dat / segs"},
       {kOffsetIdxSql, "Error creating indexes on md5cache.dat / segs"},
       {kVornlakeInfoCreateSql, "Error initializing md5cache.dat / vornlake_info"},
       {version_seed_sql(kCacheSeedSql), "Error seeding initial md5cache.dat / vornlake_info records"}},
      "SQL Error");
}

// The first column of the first row of sql into *value. Returns SQLite's result (SQLITE_ROW when
// there was a row).
int query_int(sqlite3* db, const char* sql, int* value, std::string* err) {
  Stmt stmt;
  int rc = db_prepare(db, sql, &stmt);
  if (rc == SQLITE_OK) rc = db_step(stmt);
  if (rc == SQLITE_ROW) *value = sqlite3_column_int(stmt.get(), 0);
  else if (rc != SQLITE_DONE && db) *err = sqlite3_errmsg(db);
  return rc;
}

// Without statistics SQLite looks a block up through offset_idx rather than file_id_idx; since
// every file has a block at offset 0, each look-up and each per-block delete would then walk the
// blocks of all cached files, and a run over many files would never end. Fixed statistics that
// mark offset_idx as unselective make the planner take file_id_idx. Written once per file (only
// when it has the cache's indexes and no statistics for segs yet); "analyze sqlite_master"
// creates the statistics table and makes the connection load what was written.
// Returns the result of a failing query (the caller looks for a damaged file), else 0.
int md5cache_plan_hints(sqlite3* db, std::string* err) {
  int stats = 0, indexes = 0;
  int rc = query_int(db, "select count(*) from sqlite_stat1 where tbl='segs'", &stats, err);
  // A file without the statistics table yet answers SQLITE_ERROR: it gets one below.
  if (rc != SQLITE_ROW && rc != SQLITE_ERROR) return rc;
  if (stats > 0) return SQLITE_OK;
  rc = query_int(db, "select count(*) from sqlite_master where type='index' and "
                     "name in ('file_id_idx','offset_idx')", &indexes, err);
  if (rc != SQLITE_ROW) return rc;
  if (indexes != 2) return SQLITE_OK;
  db_exec(db, "analyze sqlite_master");
  db_exec(db, "insert into sqlite_stat1 (tbl, idx, stat) values "
              "('segs','file_id_idx','1000000 4'), ('segs','offset_idx','1000000 250000')");
  db_exec(db, "analyze sqlite_master");
  return SQLITE_OK;
}

// Write-ahead-log mode, so that a run's look-ups never hold up the flush of another run sharing
// the file (in rollback mode a reader's lock blocks every commit until it ends). Should the
// switch fail (a file system without shared memory), the cache stays in rollback mode, where
// writes still wait for each other. Returns the result of a damaged file, else 0.
int md5cache_use_wal(sqlite3* db, std::string* err) {
  int rc = db_exec(db, "pragma journal_mode=wal", err);
  return store_rc_damaged(rc) ? rc : SQLITE_OK;
}

// Opens path as the cache: open-or-create, the journal mode and the planner's statistics.
// damaged_quiet as for store_open_or_create. Returns 0, 1 after the boxes, or kStoreDamaged.
int md5cache_open_at(const std::string& path, bool damaged_quiet) {
  int rc = store_open_or_create(&g_main.db, path, "Can't open MD5 database!", md5cache_init_tables,
                                damaged_quiet);
  if (rc != 0) return rc;
  std::string err;
  rc = md5cache_use_wal(g_main.db.get(), &err);
  if (rc == SQLITE_OK) rc = md5cache_plan_hints(g_main.db.get(), &err);
  if (!store_rc_damaged(rc)) return 0;
  g_main.db.close();
  if (damaged_quiet) return kStoreDamaged;
  store_unusable_boxes(err, path, rc);
  return 1;
}

// Moves a damaged cache and its journals aside to "<path>.damaged...", replacing older ones; a
// journal left beside the new file would be played back into it. Returns false when the cache
// itself could not be moved.
bool md5cache_move_aside(const std::string& path) {
  const std::string aside = path + ".damaged";
  for (const char* journal : {"-journal", "-wal"}) {
    if (file_exists(path + journal) && !file_rename(path + journal, aside + journal))
      file_remove(path + journal);
  }
  file_remove(path + "-shm");
  return file_rename(path, aside);
}

// Look-ups outside a flush share one read transaction for up to kReadBatchLookups of them: on
// its own every statement takes and drops the file's lock and checks for a hot journal, which
// made an unchanged tree slow. Inside a write the look-ups are part of it.
void read_end(Conn& c) {
  if (c.txn != Txn::read) return;
  c.txn = Txn::none;
  db_commit(c.db.get());  // ends a read: nothing to lose
}

void lookup_begin(Conn& c) {
  if (!c.db || c.txn == Txn::write) return;
  if (c.txn == Txn::read && c.read_lookups >= kReadBatchLookups) read_end(c);
  if (c.txn == Txn::none) {
    if (db_exec(c.db.get(), "begin transaction") != SQLITE_OK) return;
    c.txn = Txn::read;
    c.read_lookups = 0;
  }
  ++c.read_lookups;
}

// A write takes the write lock before it reads anything ("begin immediate", which waits out the
// busy time-out). Upgrading a read transaction instead fails at once with SQLITE_BUSY while the
// other process holds the write lock and waits for our read lock to go: that lost cache entries
// whenever two runs shared the file. Inside a flush a write operation joins the flush's
// transaction; on its own it is one transaction, committed when the scope ends.
class WriteScope {
 public:
  WriteScope(Conn& c, const char* operation) : c_(c), operation_(operation) {
    if (!c_.db || c_.txn == Txn::write) return;
    read_end(c_);
    if (db_exec(c_.db.get(), "begin immediate") != SQLITE_OK) return;  // each statement waits
    c_.txn = Txn::write;
    owner_ = true;
  }
  ~WriteScope() {
    if (!owner_) return;
    c_.txn = Txn::none;
    std::string err;
    if (db_commit(c_.db.get(), &err) != SQLITE_OK) store_sql_error(operation_, err);
  }
  WriteScope(const WriteScope&) = delete;
  WriteScope& operator=(const WriteScope&) = delete;

 private:
  Conn& c_;
  const char* operation_;
  bool owner_ = false;
};

// Fills digest from a text column of 32 hexadecimal characters. False for anything else: a
// damaged digest must not be taken for a block; the file is read again instead.
bool digest_from_column(Stmt& stmt, int column, uint8_t digest[16]) {
  std::string hex = db_column_text(stmt, column);
  if (hex.size() != 32) return false;
  for (char c : hex) {
    if (hex_digit_value(c) < 0) return false;
  }
  hex_to_md5(hex.c_str(), digest);
  return true;
}

// Runs the block query sql for (file_id, offset) in *q. Returns SQLITE_ROW with *q on the row,
// SQLITE_DONE, or SQLITE_ERROR after the box of the failing prepare, bind or step.
int block_lookup(const char* sql, const char* op, uint32_t file_id, uint64_t offset, StmtLease* q) {
  lookup_begin(g_main);
  *q = g_main.db.prepared(sql, op);
  if (!*q || !binds_ok(op, {{db_bind_uint(**q, 1, file_id), "Couldn't bind filespec_id"},
                            {db_bind_int64(**q, 2, offset), "Couldn't bind offset"}}))
    return SQLITE_ERROR;
  int rc = db_step(**q);
  if (rc == SQLITE_ROW || rc == SQLITE_DONE) return rc;
  store_sql_error(op, "Error executing statement");
  return SQLITE_ERROR;
}

// The insert of md5cache_segs_insert without its removal of an older row at the offset. False
// after a failure, reported under md5cache_segs_insert.
bool segs_row_insert(Conn& c, uint32_t file_id, uint64_t offset, uint32_t size,
                     const uint8_t digest[16]) {
  const char* op = "md5cache_segs_insert";
  char hex[33];
  md5_to_hex(digest, hex);
  StmtLease q = c.db.prepared(kSegsInsertSql, op);
  return q &&
         binds_ok(op, {{db_bind_uint(*q, 1, file_id), "Couldn't bind filespec_id"},
                       {db_bind_int64(*q, 2, offset), "Couldn't bind offset"},
                       {db_bind_uint(*q, 3, size), "Couldn't bind block size"},
                       {db_bind_blob(*q, 4, hex, 32), "Couldn't bind md5"}}) &&
         step_done(*q, op, "SQL Error executing insert");
}

uint32_t filespec_find(Conn& c, const std::string& path) {
  lookup_begin(c);
  return store_find_id(c.db, kFindSql, "md5cache_filespec_find", path);
}

// Writes the row of path: an update of row id, or a new row when id is 0. Returns the row's id, 0
// after a failure (reported under md5cache_filespec_insert). Inside a write transaction.
uint32_t filespec_row_write(Conn& c, uint32_t id, const std::string& path, uint64_t size,
                            uint32_t blocksize, uint32_t t_modify, uint32_t t_lastcheck) {
  const char* op = "md5cache_filespec_insert";
  StmtLease q = c.db.prepared(id ? kUpdateSql : kInsertSql, op);
  if (!q) return 0;
  // The update binds the values from parameter 1 and the id last; the insert the path first.
  int first = id ? 1 : 2;
  if (!binds_ok(op, {{id ? SQLITE_OK : db_bind_text(*q, 1, path), "Couldn't bind filespec"},
                     {db_bind_int64(*q, first, size), "Couldn't bind file size"},
                     {db_bind_uint(*q, first + 1, blocksize), "Couldn't bind blocksize"},
                     {db_bind_uint(*q, first + 2, t_modify), "Couldn't bind t_modify"},
                     {db_bind_uint(*q, first + 3, t_lastcheck), "Couldn't bind t_lastcheck"},
                     {id ? db_bind_uint(*q, 5, id) : SQLITE_OK, "Couldn't bind id"}}))
    return 0;
  if (!step_done(*q, op, id ? "SQL Error executing update" : "SQL Error executing insert"))
    return 0;
  return id ? id : static_cast<uint32_t>(sqlite3_last_insert_rowid(c.db.get()));
}

uint32_t filespec_insert(Conn& c, const std::string& path, uint64_t size, uint32_t blocksize,
                         uint32_t t_modify, uint32_t t_lastcheck, bool* inserted) {
  if (inserted) *inserted = false;
  WriteScope write(c, "md5cache_filespec_insert");
  const uint32_t id = filespec_find(c, path);
  const uint32_t written = filespec_row_write(c, id, path, size, blocksize, t_modify, t_lastcheck);
  if (inserted) *inserted = id == 0 && written != 0;
  return written;
}

// A cancel through `cancel` (with a BusyCancel on c) fails the removal without a box.
int segs_delete_all(Conn& c, uint32_t file_id, const std::stop_token& cancel) {
  WriteScope write(c, "md5cache_segs_delete_all");
  char sql[64];
  std::snprintf(sql, sizeof sql, kSegsDeleteAllSql, file_id);
  std::string err;
  if (db_exec(c.db.get(), sql, &err) != SQLITE_OK) {
    if (!cancel.stop_requested()) store_sql_error("md5cache_segs_delete_all", err);
    return 1;
  }
  return 0;
}

int segs_insert(Conn& c, uint32_t file_id, uint64_t offset, uint32_t size,
                const uint8_t digest[16]) {
  WriteScope write(c, "md5cache_segs_insert");
  char sql[96];
  std::snprintf(sql, sizeof sql, kSegsDeleteOneSql, file_id,
                static_cast<unsigned long long>(offset));
  std::string err;
  if (db_exec(c.db.get(), sql, &err) != SQLITE_OK) {
    store_sql_error("md5cache_segs_insert (#1)", err);
    return 1;
  }
  segs_row_insert(c, file_id, offset, size, digest);
  return 0;
}

// Writes file f's row and its blocks, which replace the earlier ones, in c's write transaction.
// A statement that fails (a full disk) ends the file's writing, with its box (a cancel's without
// one). The order makes that safe: an earlier reading's row takes the new size and time only once
// its blocks are replaced, or else the next run would take the old digests for the new content;
// a new file's blocks that are not all written do not cover it, and it is read again.
void file_write(Conn& c, PendingCacheFile& f, const std::stop_token& cancel) {
  const uint32_t earlier = filespec_find(c, f.path);
  // No block of an earlier reading survives. Once they are all gone, the removal of an older row
  // at each offset finds nothing, and skipping it matters: it walks every block row of the file
  // (file_id_idx), which made the flush of a large file quadratic in its blocks. A new row has
  // none to remove: its id was never used (autoincrement).
  if (earlier != 0 && segs_delete_all(c, earlier, cancel) != 0) return;
  auto row_write = [&](uint32_t id) {
    return filespec_row_write(c, id, f.path, f.size, f.blocksize, f.t_modify, f.t_lastcheck);
  };
  f.id = earlier != 0 ? earlier : row_write(0);
  if (f.id == 0) return;
  for (const PendingCacheBlock& b : f.blocks) {
    if (!segs_row_insert(c, f.id, b.offset, b.size, b.digest)) return;
  }
  if (earlier != 0) row_write(earlier);
}

// Writes the complete files of `files` in one write transaction on c; the others are passed over.
void pending_write(Conn& c, std::list<PendingCacheFile>& files, const std::stop_token& cancel) {
  read_end(c);
  if (!c.db || files.empty()) return;
  BusyCancel busy(c.db.get(), cancel);
  WriteScope batch(c, "md5cache_flush");
  // Without the write lock (a cancelled run does not wait for a cache that another connection
  // holds; another process may hold it beyond the busy time-out) the entries are let go, and the
  // next run reads those files again. Written statement by statement instead, a file's new size
  // and time could be stored while the removal of its old blocks failed on the lock, and the next
  // run would take those old digests for the new content.
  if (c.txn != Txn::write) return;
  for (PendingCacheFile& f : files) {
    if (f.state == PendingState::complete) file_write(c, f, cancel);  // else it keeps its old rows
  }
}

void pending_recount() {
  g_pending_files = static_cast<uint32_t>(g_pending.size());
  g_pending_blocks = 0;
  for (const PendingCacheFile& f : g_pending)
    g_pending_blocks += static_cast<uint32_t>(f.blocks.size());
}

}  // namespace

int md5cache_open() {
  if (g_main.db) return 0;
  const std::string path = path_join(data_dir(), kCacheFile);
  int rc = md5cache_open_at(path, true);
  if (rc == kStoreDamaged) {
    // Only a cache: losing it costs one full reading of every file, stopping every run until
    // someone deletes the file costs the backups.
    if (md5cache_move_aside(path)) {
      g_notice = "The block-hash cache " + path + " was damaged; it was moved aside to " + path +
                 ".damaged and a new one started.";
      std::fprintf(stderr, "%s\n", g_notice.c_str());
    }
    rc = md5cache_open_at(path, false);
  }
  g_main.txn = Txn::none;
  if (rc == 0) g_path = path;
  return rc == 0 ? 0 : 1;
}

std::string md5cache_notice_take() {
  std::string notice;
  notice.swap(g_notice);
  return notice;
}

void md5cache_read_end() { read_end(g_main); }

int md5cache_close() {
  if (!g_main.db) return 0;
  md5cache_flush();
  g_batch_conn.db.close();
  g_batch_conn.txn = Txn::none;
  g_main.db.close();
  g_main.txn = Txn::none;
  g_path.clear();
  return 0;
}

void md5cache_walk_begin() {
  int rows = 0;
  std::string err;
  // On its own, not in a read batch: a read kept open through a walk without look-ups would hold
  // up the writes of the other connection. A query that fails leaves the look-ups on.
  read_end(g_main);
  g_walk_of_empty = g_main.db && query_int(g_main.db.get(), "select count(*) from "
                                           "(select 1 from filespec limit 1)", &rows, &err) ==
                                     SQLITE_ROW && rows == 0;
}

uint32_t md5cache_filespec_find(const std::string& path) {
  return g_walk_of_empty ? 0 : filespec_find(g_main, path);
}

int md5cache_filespec_getdata(uint32_t id, CacheFileInfo* info) {
  const char* op = "md5cache_filespec_getdata";
  *info = CacheFileInfo{};
  lookup_begin(g_main);
  StmtLease q = g_main.db.prepared(kGetDataSql, op);
  if (!q || !binds_ok(op, {{db_bind_uint(*q, 1, id), "Couldn't bind filespec_id"}})) return 0;
  int rc = db_step(*q);
  if (rc == SQLITE_DONE) return 1;
  if (rc != SQLITE_ROW) {
    store_sql_error(op, "Error executing statement");
    return 1;
  }
  info->size = static_cast<uint64_t>(sqlite3_column_int64(q.get(), 0));
  info->t_modify = static_cast<uint32_t>(sqlite3_column_int(q.get(), 1));
  info->t_lastcheck = static_cast<uint32_t>(sqlite3_column_int(q.get(), 2));
  info->blocksize = static_cast<uint32_t>(sqlite3_column_int(q.get(), 3));
  return 0;
}

uint32_t md5cache_filespec_insert(const std::string& path, uint64_t size, uint32_t blocksize,
                                  uint32_t t_modify, uint32_t t_lastcheck, bool* inserted) {
  return filespec_insert(g_main, path, size, blocksize, t_modify, t_lastcheck, inserted);
}

int md5cache_segs_delete_all(uint32_t file_id, std::stop_token cancel) {
  BusyCancel busy(g_main.db.get(), cancel);
  return segs_delete_all(g_main, file_id, cancel);
}

int md5cache_segs_insert(uint32_t file_id, uint64_t offset, uint32_t size,
                         const uint8_t digest[16]) {
  return segs_insert(g_main, file_id, offset, size, digest);
}

int md5cache_segs_get_md5(uint32_t file_id, uint64_t offset, uint8_t digest[16]) {
  std::memset(digest, 0, 16);
  StmtLease q;
  if (block_lookup(kSegsMd5Sql, "md5cache_segs_get_md5", file_id, offset, &q) != SQLITE_ROW)
    return 1;
  return digest_from_column(*q, 0, digest) ? 0 : 1;
}

uint32_t md5cache_segs_get_size(uint32_t file_id, uint64_t offset) {
  StmtLease q;
  if (block_lookup(kSegsSizeSql, "md5cache_segs_get_size", file_id, offset, &q) != SQLITE_ROW)
    return 0;
  return static_cast<uint32_t>(sqlite3_column_int(q.get(), 0));
}

std::vector<CacheBlock> md5cache_blocks_get(uint32_t file_id, uint32_t blocksize) {
  const char* op = "md5cache_blocks_get";
  std::vector<CacheBlock> blocks;
  lookup_begin(g_main);
  StmtLease q = g_main.db.prepared(kSegsOfFileSql, op);
  if (!q || !binds_ok(op, {{db_bind_uint(*q, 1, file_id), "Couldn't bind filespec_id"}}))
    return blocks;
  uint64_t next = 0;  // the offset of the block that comes next
  int rc;
  while ((rc = db_step(*q)) == SQLITE_ROW) {
    sqlite3_int64 offset = sqlite3_column_int64(q.get(), 0);
    // A row between block boundaries, or a second row at an offset already taken (the lowest id
    // wins, as in the per-offset look-up), is passed over; a gap ends the file's blocks.
    if (offset < 0 || static_cast<uint64_t>(offset) < next) continue;
    if (static_cast<uint64_t>(offset) > next) break;
    CacheBlock block{next, static_cast<uint32_t>(sqlite3_column_int(q.get(), 1)), {}};
    if (!digest_from_column(*q, 2, block.digest)) break;
    blocks.push_back(block);
    if (blocksize == 0) break;  // every block would lie at offset 0
    next += blocksize;
  }
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) store_sql_error(op, "Error executing statement");
  return blocks;
}

PendingCacheFile* md5cache_pending_file_new(const std::string& path, uint64_t size,
                                            uint32_t blocksize, uint32_t t_modify,
                                            uint32_t t_lastcheck) {
  g_pending.push_back(
      PendingCacheFile{path, 0, size, blocksize, t_modify, t_lastcheck, PendingState::reading, {}});
  ++g_pending_files;
  return &g_pending.back();
}

PendingCacheBlock* md5cache_pending_block_add(PendingCacheFile* f, uint64_t offset, uint32_t size,
                                              const uint8_t digest[16]) {
  if (!f) return nullptr;
  PendingCacheBlock block{offset, size, {}};
  std::memcpy(block.digest, digest, 16);
  f->blocks.push_back(block);
  ++g_pending_blocks;
  return &f->blocks.back();
}

void md5cache_pending_file_done(PendingCacheFile* f) {
  if (f) f->state = PendingState::complete;
}

void md5cache_pending_file_drop(PendingCacheFile* f) {
  if (f) f->state = PendingState::dropped;
}

CacheBatch md5cache_pending_take() {
  CacheBatch batch;
  for (auto it = g_pending.begin(); it != g_pending.end();) {
    auto next = std::next(it);
    if (it->state == PendingState::complete)
      batch.splice(batch.end(), g_pending, it);
    else if (it->state == PendingState::dropped)
      g_pending.erase(it);
    it = next;
  }
  pending_recount();
  return batch;
}

int md5cache_batch_write(CacheBatch& batch, std::stop_token cancel) {
  // The file is there, with its tables: only the connection is new. One that cannot be opened
  // has said so in its box, and the batch is lost, as a failed flush's is.
  if (!g_batch_conn.db && !g_path.empty() && !batch.empty())
    store_open_or_create(&g_batch_conn.db, g_path, "Can't open MD5 database!", md5cache_init_tables);
  pending_write(g_batch_conn, batch, cancel);
  batch.clear();
  return 0;
}

int md5cache_flush(std::stop_token cancel) {
  g_walk_of_empty = false;
  pending_write(g_main, g_pending, cancel);
  g_pending.clear();
  g_pending_files = 0;
  g_pending_blocks = 0;
  return 0;
}

bool md5cache_flush_due() {
  return g_pending_files >= g_flush_files || g_pending_blocks >= kFlushBlocks;
}

#ifdef VORNLAKE_FAULT_HOOKS
void md5cache_flush_files_set(uint32_t files) { g_flush_files = files ? files : kFlushFiles; }
#endif

uint32_t md5cache_pending_files() { return g_pending_files; }
uint32_t md5cache_pending_blocks() { return g_pending_blocks; }

}  // namespace vl
