#include "stores/catalog.h"

#include <atomic>

#include <cstdio>

#include "platform/clock.h"
#include "platform/dirs.h"
#include "platform/fs.h"
#include "stores/md5cache.h"
#include "stores/profile_db.h"
#include "stores/store_db.h"

namespace vl {

namespace {

Db g_catalog;
// False from the start of catalog_open until it succeeds, and from any failure of a row, a
// commit, catalog_finish or catalog_close on: such a catalog lacks part of the run.
std::atomic<bool> g_complete{false};
// The parent folder found last, and its row (a row's id never changes within a catalog).
std::string g_parent_path;
uint32_t g_parent_id = 0;

const char* const kCatinfoCreateSql =
    "create table catinfo ( id integer not null primary key autoincrement, type smallint unsigned "
    "not null, misc varchar(256) not null )";
const char* const kCatinfoIdxSql = "create unique index catinfo_type on catinfo( type )";
const char* const kFilespecCreateSql =
    "create table filespec ( id integer not null primary key autoincrement, parent_id integer "
    "unsigned not null, filename varchar(256) not null, filename_full varchar(256) not null, type "
    "integer unsigned not null, attr integer unsigned not null, mode integer unsigned not null, "
    "owner integer unsigned not null, _group integer unsigned not null, size integer unsigned not "
    "null, t_access integer unsigned not null, t_change integer unsigned not null, t_modify "
    "integer unsigned not null, t_backup_start integer unsigned not null, t_backup_end integer "
    "unsigned not null, blocksize integer unsigned not null, extra varchar(256) not null )";
const char* const kFilespecFullIdxSql =
    "create unique index filespec_filename_full on filespec( filename_full )";
const char* const kFilespecParentIdxSql = "create index filespec_parent_id on filespec( parent_id )";
const char* const kFilespecNameIdxSql = "create index filespec_filename on filespec( filename )";
const char* const kSegsCreateSql =
    "create table segs ( id integer not null primary key autoincrement, filespec_id integer "
    "unsigned not null, offset integer unsigned not null, size integer unsigned not null, md5 "
    "char(32) not null )";
const char* const kSegsKeyIdxSql =
    "create unique index segs_filespec_offset on segs ( filespec_id, offset )";
const char* const kSegsMd5IdxSql = "create index segs_md5 on segs( md5 )";
const char* const kConfigCreateSql =
    "create table config ( id integer not null primary key autoincrement, type varchar(256) not "
    "null, parm varchar(256) not null, parm2 varchar(256) not null)";
const char* const kConfigIdxSql = "create index config_type on config( type )";
const char* const kCatalogSeedSql = "insert into vornlake_info values ( null, 129, 1, %d, %d, %d )";

const char* const kProfileConfigSql = "select id,type,parm,parm2 from config";
const char* const kConfigInsertSql = "insert into config( type, parm, parm2 ) values (?,?,?)";
const char* const kFindSql = "select id from filespec where filename_full=?";
const char* const kFilespecInsertSql =
    "insert into filespec( parent_id, filename, filename_full, type, attr, mode, owner, _group, "
    "size, t_access, t_change, t_modify, t_backup_start, t_backup_end, blocksize, extra ) values "
    "(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)";
const char* const kFilespecSizeSql = "update filespec set size=? where id=?";
const char* const kSegInsertSql =
    "insert into segs ( filespec_id, offset, size, md5 ) values (?,?,?,?)";

// The catalog is a scratch file until it is uploaded, and it is uploaded only after
// catalog_close has written it in full, by reading the file back: a run that crashes leaves a
// file that nothing uploads (and that the next catalog of its name replaces). So the file needs
// no journal on disk and no syncs; the journal kept in memory still undoes a statement that fails
// halfway (a full disk). The page cache is bounded (8 MiB) so that memory does not grow with the
// tree: the one transaction of the run spills pages beyond it to the file as it goes, which
// without a journal on disk or syncs costs a write, not a wait for the disk.
const char* const kCatalogPragmas[] = {"pragma journal_mode=memory", "pragma synchronous=off",
                                       "pragma cache_size=-8192"};

// Executes fmt with one counter formatted into it (fmt's own conversion: %u or %llu).
int exec_fact(const char* fmt, uint64_t value, bool wide) {
  char sql[96];
  if (wide)
    std::snprintf(sql, sizeof sql, fmt, static_cast<unsigned long long>(value));
  else
    std::snprintf(sql, sizeof sql, fmt, static_cast<unsigned>(value));
  return db_exec(g_catalog.get(), sql);
}

// Records a failed row, commit or finish: the catalog no longer holds the whole run. Returns 1.
int incomplete() {
  g_complete = false;
  return 1;
}

// The parent text and the name of a catalog path.
void split_path(const std::string& path, std::string* parent, std::string* name) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos || path == "/") {
    parent->clear();
    *name = path;
  } else if (slash == 0) {
    *parent = "/";
    *name = path.substr(1);
  } else {
    *parent = path.substr(0, slash);
    *name = path.substr(slash + 1);
  }
}

uint32_t find_id(const std::string& path, bool* failed) {
  return store_find_id(g_catalog, kFindSql, "catalog_filespec_find", path, failed);
}

}  // namespace

bool catalog_is_open() { return static_cast<bool>(g_catalog); }

bool catalog_complete() { return g_complete; }

int catalog_open(RunContext& ctx) {
  catalog_close();  // one catalog at a time
  g_complete = false;
  g_parent_path.clear();
  g_parent_id = 0;
  if (!ctx.profile) {
    ctx.catalog_path.clear();
    store_box("Can't open backup catalog database!", "Blah!");
    return 1;
  }
  char name[16];
  std::snprintf(name, sizeof name, "%08x.cat", ctx.catalog_id);
  std::string path = path_join(profile_dir(ctx.profile->tag), name);
  ctx.catalog_path = path;
  file_remove(path);
  // A journal left by an earlier run of the same name would be played back into the new file.
  file_remove(path + "-journal");
  // Made new here, so that a file or link planted at the (predictable) name in the meantime fails
  // the open instead of becoming the catalog.
  if (!file_create_new(path).ok() || g_catalog.open(path, true) != SQLITE_OK) {
    store_box("Can't open backup catalog database!", "Blah!");
    g_catalog.close();
    return 1;
  }
  file_make_private(path);
  sqlite3_busy_timeout(g_catalog.get(), kBusyLongMs);
  sqlite3* db = g_catalog.get();
  for (const char* pragma : kCatalogPragmas) db_exec(db, pragma);
  g_complete = true;
  if (catalog_init_tables(ctx) != 0) {
    g_catalog.close();
    return incomplete();
  }
  bool ok = db_exec(db, "begin transaction") == SQLITE_OK;
  ok = db_exec(db, "insert into catinfo (type,misc) values (1,1)") == SQLITE_OK && ok;
  ok = db_exec(db, "insert into catinfo (type,misc) values (2,1)") == SQLITE_OK && ok;
  ok = db_exec(db, "insert into catinfo (type,misc) values (3,1)") == SQLITE_OK && ok;
  ok = exec_fact("insert into catinfo (type,misc) values (21,%u)", ctx.catalog_id, false) ==
           SQLITE_OK && ok;
  ok = db_commit(db) == SQLITE_OK && ok;
  // The rows of the run go into this one transaction, committed by catalog_finish (or by
  // catalog_close for a cancelled run).
  ok = db_exec(db, "begin transaction") == SQLITE_OK && ok;
  if (!ok) incomplete();
  return 0;
}

int catalog_init_tables(RunContext& ctx) {
  const char* filespec_idx = "Error creating indexes on catalog / filespec";
  const char* segs_idx = "Error creating indexes on catalog / segs";
  db_exec(g_catalog.get(), "begin transaction");
  if (schema_run(g_catalog.get(),
                 {{kCatinfoCreateSql, "Error initializing catalog / catinfo"},
                  {kCatinfoIdxSql, "Error creating indexes on catalog / catinfo"},
                  {kFilespecCreateSql, "Error initializing catalog / filespec"},
                  {kFilespecFullIdxSql, filespec_idx},
                  {kFilespecParentIdxSql, filespec_idx},
                  {kFilespecNameIdxSql, filespec_idx},
                  {kSegsCreateSql, "Error initializing catalog / segs"},
                  {kSegsKeyIdxSql, segs_idx},
                  {kSegsMd5IdxSql, segs_idx},
                  {kConfigCreateSql, "Error initializing catalog / config"},
                  {kConfigIdxSql, "Error creating indexes on catalog / config"},
                  {kVornlakeInfoCreateSql, "Error initializing catalog / vornlake_info"},
                  {version_seed_sql(kCatalogSeedSql),
                   "Error seeding initial catalog / vornlake_info records"}},
                 "SQL Error") != 0)
    return incomplete();
  if (db_commit(g_catalog.get()) != SQLITE_OK) incomplete();
  return catalog_init_config(ctx);
}

int catalog_init_config(RunContext& ctx) {
  const char* op = "catalog_init_config";
  if (!g_catalog || !ctx.profile) return incomplete();
  Db profile;
  if (profile.open(profile_db_path(ctx.profile->tag), false) != SQLITE_OK) {
    store_box("Can't open profile's database!", "Blah!");
    return incomplete();
  }
  sqlite3_busy_timeout(profile.get(), kBusyProfileMs);
  StmtLease query = profile.prepared(kProfileConfigSql, op);
  if (!query) return incomplete();
  db_exec(g_catalog.get(), "begin transaction");
  int rc;
  while ((rc = db_step(*query)) == SQLITE_ROW) {
    int type = sqlite3_column_int(query.get(), 1);
    if (type == kParmPassword) continue;  // the catalog goes to the server: never the password
    StmtLease insert = g_catalog.prepared(kConfigInsertSql, op);
    if (!insert) return incomplete();
    db_bind_int(*insert, 1, type);
    db_bind_text(*insert, 2, db_column_text(*query, 2));
    db_bind_text(*insert, 3, db_column_text(*query, 3));
    if (!step_done(*insert, op, "Error copying config to catalog!")) return incomplete();
  }
  // A profile database that is busy or damaged ends the copy short: the settings are not all in.
  if (rc != SQLITE_DONE) {
    store_sql_error(op, "Error executing statement");
    return incomplete();
  }
  if (db_commit(g_catalog.get()) != SQLITE_OK) incomplete();
  return 0;
}

uint32_t catalog_filespec_find(const std::string& path) {
  if (!g_catalog) return 0;
  return find_id(path, nullptr);
}

uint32_t catalog_filespec_insert(const std::string& path, const FilespecRecord& rec,
                                 uint32_t blocksize) {
  const char* op = "catalog_filespec_insert";
  if (!g_catalog) return 0;
  // A path is recorded once per catalog; a second call yields 0 and its blocks are not recorded.
  bool find_failed = false;
  if (find_id(path, &find_failed) != 0) return 0;
  std::string parent, name;
  split_path(path, &parent, &name);
  // The files of a folder come one after another: their parent is looked up once.
  uint32_t parent_id = 0;
  if (!parent.empty() && parent == g_parent_path) {
    parent_id = g_parent_id;
  } else if (!parent.empty()) {
    parent_id = find_id(parent, &find_failed);
    g_parent_path = parent_id ? parent : std::string();
    g_parent_id = parent_id;
  }
  // A failed look-up may have left the path recorded twice or without its parent.
  if (find_failed) incomplete();

  StmtLease q = g_catalog.prepared(kFilespecInsertSql, op);
  if (!q ||
      !binds_ok(op, {{db_bind_uint(*q, 1, parent_id), "Couldn't bind parent_id"},
                     {db_bind_text(*q, 2, name), "Couldn't bind filename"},
                     {db_bind_text(*q, 3, path), "Couldn't bind filename_full"},
                     {db_bind_uint(*q, 4, rec.type), "Couldn't bind type"},
                     {db_bind_uint(*q, 5, rec.attr), "Couldn't bind attr"},
                     {db_bind_uint(*q, 6, rec.mode), "Couldn't bind mode"},
                     {db_bind_uint(*q, 7, rec.owner), "Couldn't bind owner"},
                     {db_bind_uint(*q, 8, rec.group), "Couldn't bind group"},
                     {db_bind_int64(*q, 9, rec.size), "Couldn't bind size"},
                     {db_bind_uint(*q, 10, rec.t_access), "Couldn't bind t_access"},
                     {db_bind_uint(*q, 11, rec.t_change), "Couldn't bind t_change"},
                     {db_bind_uint(*q, 12, rec.t_modify), "Couldn't bind t_modify"},
                     {db_bind_uint(*q, 13, 0), "Couldn't bind t_backup_start"},
                     {db_bind_uint(*q, 14, 0), "Couldn't bind t_backup_end"},
                     {db_bind_uint(*q, 15, blocksize), "Couldn't bind blocksize"},
                     {db_bind_text(*q, 16, std::string()), "Couldn't bind extra"}}) ||
      !step_done(*q, op, "SQL Error executing insert")) {
    incomplete();
    return 0;
  }
  return static_cast<uint32_t>(sqlite3_last_insert_rowid(g_catalog.get()));
}

int catalog_filespec_size_set(uint32_t filespec_id, uint64_t size) {
  const char* op = "catalog_filespec_size_set";
  if (!g_catalog || filespec_id == 0) return 0;
  StmtLease q = g_catalog.prepared(kFilespecSizeSql, op);
  if (!q ||
      !binds_ok(op, {{db_bind_int64(*q, 1, size), "Couldn't bind size"},
                     {db_bind_uint(*q, 2, filespec_id), "Couldn't bind id"}}) ||
      !step_done(*q, op, "SQL Error executing update"))
    return incomplete();
  return 0;
}

int catalog_seg_insert(uint32_t filespec_id, uint64_t offset, uint32_t size,
                       const uint8_t digest[16]) {
  const char* op = "catalog_seg_insert";
  if (!g_catalog || filespec_id == 0) return 0;
  char hex[33];
  md5_to_hex(digest, hex);
  StmtLease q = g_catalog.prepared(kSegInsertSql, op);
  if (!q ||
      !binds_ok(op, {{db_bind_uint(*q, 1, filespec_id), "Couldn't bind filespec_id"},
                     {db_bind_int64(*q, 2, offset), "Couldn't bind offset"},
                     {db_bind_uint(*q, 3, size), "Couldn't bind size"},
                     {db_bind_text(*q, 4, std::string(hex, 32)), "Couldn't bind md5"}}) ||
      !step_done(*q, op, "Couldn't process SQL query!"))
    incomplete();
  return 0;
}

int catalog_finish(RunContext& ctx) {
  if (!g_catalog) return 0;
  sqlite3* db = g_catalog.get();
  const RunStats& s = ctx.stats;
  struct Fact {
    const char* fmt;
    uint64_t value;
    bool wide;  // "%llu"
  };
  const Fact facts[] = {
      {"insert into catinfo (type,misc) values (22,%u)", static_cast<uint32_t>(ctx.t_start.load()), false},
      {"insert into catinfo (type,misc) values (23,%u)", static_cast<uint32_t>(clock_now()), false},
      {"insert into catinfo (type,misc) values (32,%u)", s.files, false},
      {"insert into catinfo (type,misc) values (33,%u)", s.directories, false},
      {"insert into catinfo (type,misc) values (34,%u)", s.special_files, false},
      {"insert into catinfo (type,misc) values (35,%llu)", s.bytes_total, true},
      {"insert into catinfo (type,misc) values (36,%llu)", s.bytes_stored, true},
      {"insert into catinfo (type,misc) values (37,%llu)", s.bytes_compressed, true},
      {"insert into catinfo (type,misc) values (38,%llu)", s.bytes_skipped, true},
      {"insert into catinfo (type,misc) values (39,%llu)", s.bytes_duped, true},
      {"insert into catinfo (type,misc) values (40,%llu)", s.files_skipped, true},
      {"insert into catinfo (type,misc) values (41,%llu)", s.files_scanned, true},
      {"insert into catinfo (type,misc) values (48,%llu)", s.segs, true},
      {"insert into catinfo (type,misc) values (49,%llu)", s.segs_stored, true},
      {"insert into catinfo (type,misc) values (50,%llu)", s.segs_duped, true},
      {"insert into catinfo (type,misc) values (64,%llu)", s.warnings, true},
      {"insert into catinfo (type,misc) values (65,%llu)", s.errors, true},
  };
  // The first commit writes every row of the run: a full disk shows here.
  bool ok = db_commit(db) == SQLITE_OK;
  ok = db_exec(db, "begin transaction") == SQLITE_OK && ok;
  for (const Fact& f : facts) ok = exec_fact(f.fmt, f.value, f.wide) == SQLITE_OK && ok;
  ok = db_exec(db, "update vornlake_info set type=128") == SQLITE_OK && ok;
  ok = db_commit(db) == SQLITE_OK && ok;
  return ok ? 0 : incomplete();
}

int catalog_close() {
  if (!g_catalog) return 0;
  // After catalog_finish no transaction is open, and a "commit" would only be refused.
  bool ok = sqlite3_get_autocommit(g_catalog.get()) || db_commit(g_catalog.get()) == SQLITE_OK;
  ok = g_catalog.close() == SQLITE_OK && ok;
  return ok ? 0 : incomplete();
}

}  // namespace vl
