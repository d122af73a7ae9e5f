#include "stores/profile_db.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/dirs.h"
#include "platform/fs.h"
#include "stores/config_db.h"
#include "stores/store_db.h"

namespace vl {

namespace {

const char* const kCreateConfigSql =
    "create table config ( id integer not null primary key autoincrement, type varchar(256) not "
    "null, parm varchar(256) not null, parm2 varchar(256) not null )";
const char* const kIndexConfigSql = "create index config_type on config( type )";
const char* const kProfileSeedSql = "insert into vornlake_info values ( null, 32, 1, %d, %d, %d )";
const char* const kInsertBoundSql = "insert into config( type, parm, parm2 ) values (?,?,'')";
const char* const kInsertPortSql = "insert into config( type, parm, parm2 ) values (%u,%u,'')";
const char* const kInsertClientTypeSql = "insert into config( type, parm, parm2 ) values (5,1,'')";
const char* const kInsertNumberSql = "insert into config ( type, parm, parm2 ) values (%u,%u,'')";
const char* const kSelectAllSql = "select id,type,parm,parm2 from config";
const char* const kSelectDescriptionSql = "select parm from config where type=10";

// Readers take decimal text the way atoi does (not a number: 0) and keep its low 32 bits.
int32_t parm_number(const std::string& text) {
  long long v = std::strtoll(text.c_str(), nullptr, 10);
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long long>(v)));
}

std::string bak_path(const std::string& tag) { return profile_db_path(tag) + ".bak"; }

// The previous database becomes ".cfg.bak"; an older ".cfg.bak" is lost.
void move_aside(const std::string& tag) {
  file_remove(bak_path(tag));
  file_rename(profile_db_path(tag), bak_path(tag));
}

// What the readers share: the file must exist, open and pass the version check. Returns 0 with
// *db open, or 1 after the box (unless quiet).
int profile_open_read(const std::string& tag, bool quiet, Db* db) {
  std::string path = profile_db_path(tag);
  if (!file_exists(path)) {
    if (!quiet) store_box(path, "Backup Profile Missing!");
    return 1;
  }
  // Never created here: a profile that vanished must not come back as an empty file.
  if (db->open(path, false) != SQLITE_OK) {
    db->close();
    if (!quiet) store_box("Can't open profile's database!", "Blah!");
    return 1;
  }
  sqlite3_busy_timeout(db->get(), kBusyProfileMs);
  std::string err;
  if (db_exec(db->get(), kVersionCheckSql, &err) != SQLITE_OK) {
    db->close();
    if (!quiet) store_box("Can't read profile's database!", "Blah!");
    return 1;
  }
  return 0;
}

enum class RowResult { ok, prepare_failed, failed };

// One parameter row with a bound text. A failed prepare is reported here, under the save's name.
RowResult insert_bound(Db& db, int code, const std::string& text) {
  StmtLease q = db.prepared(kInsertBoundSql, "profile_create");
  if (!q) return RowResult::prepare_failed;
  if (db_bind_int(*q, 1, code) != SQLITE_OK || db_bind_text(*q, 2, text) != SQLITE_OK)
    return RowResult::failed;
  return db_step(*q) == SQLITE_DONE ? RowResult::ok : RowResult::failed;
}

RowResult insert_number(Db& db, const char* fmt, unsigned code, unsigned value) {
  char sql[128];
  std::snprintf(sql, sizeof sql, fmt, code, value);
  return db_exec(db.get(), sql) == SQLITE_OK ? RowResult::ok : RowResult::failed;
}

// Every row of p in the order of the file format. Stops at the first failing row.
RowResult insert_rows(Db& db, const ProfileSettings& p) {
  struct Bound { int code; const std::string* text; };
  struct Number { unsigned code; unsigned value; };
  auto bound = [&db](std::initializer_list<Bound> rows) {
    for (const Bound& r : rows) {
      RowResult res = insert_bound(db, r.code, *r.text);
      if (res != RowResult::ok) return res;
    }
    return RowResult::ok;
  };
  auto numbers = [&db](std::initializer_list<Number> rows) {
    for (const Number& r : rows) {
      if (insert_number(db, kInsertNumberSql, r.code, r.value) != RowResult::ok)
        return RowResult::failed;
    }
    return RowResult::ok;
  };
  RowResult res = bound({{kParmServer, &p.server}});
  if (res == RowResult::ok) res = insert_number(db, kInsertPortSql, kParmPort, p.port);
  if (res == RowResult::ok) res = bound({{kParmLogin, &p.login}, {kParmPassword, &p.password}});
  if (res == RowResult::ok && db_exec(db.get(), kInsertClientTypeSql) != SQLITE_OK)
    res = RowResult::failed;
  if (res == RowResult::ok)
    res = numbers({{kParmVerMajor, kVersionMajor}, {kParmVerMinor, kVersionMinor},
                   {kParmVerBuild, kVersionBuild}});
  if (res == RowResult::ok)
    res = bound({{kParmDescription, &p.description}, {kParmTag, &p.tag}});
  if (res == RowResult::ok)
    res = numbers({{kParmThreadPriority, p.thread_priority.load()},
                   {kParmFileDelay, static_cast<unsigned>(p.file_delay_ms.load())},
                   {kParmBlockDelay, static_cast<unsigned>(p.block_delay_ms.load())},
                   {kParmTxThrottle, static_cast<unsigned>(p.tx_throttle.load())},
                   {kParmTxRateUnit, p.tx_rate_unit.load()},
                   {kParmTxRate, static_cast<unsigned>(p.tx_rate.load())},
                   {kParmRxThrottle, static_cast<unsigned>(p.rx_throttle.load())},
                   {kParmRxRateUnit, p.rx_rate_unit.load()},
                   {kParmRxRate, static_cast<unsigned>(p.rx_rate.load())}});
  for (const ProfileRule& r : p.include_rules) {
    if (res == RowResult::ok) res = insert_bound(db, kParmInclude, r.path);
  }
  for (const ProfileRule& r : p.exclude_rules) {
    if (res == RowResult::ok) res = insert_bound(db, kParmExclude, r.path);
  }
  return res;
}

// Applies one config row to the record being loaded. Returns false for a code this client does
// not know.
bool apply_row(ProfileSettings* p, int code, const std::string& value) {
  switch (code) {
    case kParmServer: p->server = value.substr(0, kServerMax); break;
    case kParmPort: p->port = static_cast<uint16_t>(parm_number(value)); break;
    case kParmLogin: p->login = value.substr(0, kLoginMax); break;
    case kParmPassword: p->password = value.substr(0, kPasswordMax); break;
    case 0:
    case kParmClientType:
    case kParmVerMajor:
    case kParmVerMinor:
    case kParmVerBuild:
    case kParmUnused9:
    case kParmTag: break;
    case kParmDescription: p->description = value.substr(0, kDescriptionMax); break;
    case kParmThreadPriority: p->thread_priority = static_cast<uint32_t>(parm_number(value)); break;
    case kParmFileDelay: p->file_delay_ms = parm_number(value); break;
    case kParmBlockDelay: p->block_delay_ms = parm_number(value); break;
    case kParmTxThrottle: p->tx_throttle = parm_number(value); break;
    case kParmTxRateUnit: p->tx_rate_unit = static_cast<uint32_t>(parm_number(value)); break;
    case kParmTxRate: p->tx_rate = parm_number(value); break;
    case kParmRxThrottle: p->rx_throttle = parm_number(value); break;
    case kParmRxRateUnit: p->rx_rate_unit = static_cast<uint32_t>(parm_number(value)); break;
    case kParmRxRate: p->rx_rate = parm_number(value); break;
    case kParmInclude: p->include_rules.push_back({value.substr(0, kRulePathMax)}); break;
    case kParmExclude: p->exclude_rules.push_back({value.substr(0, kRulePathMax)}); break;
    default: return false;
  }
  return true;
}

}  // namespace

std::string profile_db_path(const std::string& tag) {
  return path_join(profile_dir(tag), tag + ".cfg");
}

int profile_create(const ProfileSettings& p) {
  const char* op = "profile_create";
  config_remove_profile(p.tag);
  move_aside(p.tag);
  dir_create_private(path_join(data_dir(), "Profiles"));
  dir_create_private(profile_dir(p.tag));

  std::string path = profile_db_path(p.tag);
  Db db;
  // It holds the password: a new file of ours, never one planted at the name since the move.
  if (!file_create_new(path).ok() || db.open(path, true) != SQLITE_OK) {
    store_box("Can't open profile's database!", "Blah!");
    return 1;
  }
  file_make_private(path);  // it holds the password
  sqlite3_busy_timeout(db.get(), kBusyProfileMs);

  db_exec(db.get(), "begin transaction");
  if (schema_run(db.get(),
                 {{kCreateConfigSql, "Error initializing profile / config"},
                  {kIndexConfigSql, "Error indexing profile / config"},
                  {kVornlakeInfoCreateSql, "Error initializing profile / vornlake_info"}},
                 "SQL Error") != 0)
    return 1;  // closing discards the transaction
  db_exec(db.get(), "commit");
  db_exec(db.get(), "begin transaction");

  // A row that cannot be written fails the save: reporting success would register a profile
  // whose settings are partly missing.
  RowResult rows = insert_rows(db, p);
  if (rows == RowResult::prepare_failed) return 1;  // reported by the row
  if (rows == RowResult::failed) {
    store_sql_error(op, "Error executing statement");
    return 1;
  }
  std::string err;
  if (db_exec(db.get(), version_seed_sql(kProfileSeedSql), &err) != SQLITE_OK) {
    store_sql_error(op, "Error seeding initial profile / vornlake_info records");
    return 1;
  }
  if (db_exec(db.get(), "commit", &err) != SQLITE_OK) {
    store_sql_error(op, err);
    return 1;
  }
  db.close();
  config_add_profile(p.tag, 2);
  return 0;
}

std::unique_ptr<ProfileSettings> profile_load(const std::string& tag, bool quiet) {
  Db db;
  if (profile_open_read(tag, quiet, &db) != 0) return nullptr;

  auto p = std::make_unique<ProfileSettings>();
  p->tag = tag;
  p->thread_priority = 1;
  p->tx_rate_unit = 1;
  p->rx_rate_unit = 1;

  {
    StmtLease q = db.prepared(kSelectAllSql, "profile_load");
    if (!q) return nullptr;
    // Rows come in insertion order, which the rule lists depend on. A failing step ends the
    // loop without a message.
    while (db_step(*q) == SQLITE_ROW) {
      int code = sqlite3_column_int(q.get(), 1);
      if (!apply_row(p.get(), code, db_column_text(*q, 2)) && !quiet)
        store_box("Unrecognized profile parameter!", "Warning loading profile");
    }
  }

  const char* missing = nullptr;
  if (p->server.empty())
    missing = "No server specified in backup profile!";
  else if (p->login.empty())
    missing = "No login specified in backup profile!";
  else if (p->password.empty())
    missing = "No password specified in backup profile!";
  if (missing) {
    if (!quiet) store_box(missing, "Backup Profile Error");
    return nullptr;
  }

  profile_defaults_repair(p.get());
  return p;
}

int profile_load_description(const std::string& tag, std::string* dest, bool quiet) {
  const char* op = "profile_load_description";
  Db db;
  if (profile_open_read(tag, quiet, &db) != 0) return 1;
  StmtLease q = db.prepared(kSelectDescriptionSql, op);
  if (!q) return 0;
  int rc = db_step(*q);
  if (rc == SQLITE_ROW) {
    *dest = db_column_text(*q, 0, kDescriptionMax);
  } else if (rc != SQLITE_DONE) {
    store_sql_error(op, "Error executing statement");
    return 1;
  }
  return 0;
}

int profile_delete(const std::string& tag, bool history) {
  config_remove_profile(tag);
  int rc = 0;
  for (const std::string& path : {profile_db_path(tag), bak_path(tag)})
    if (!file_remove(path) && file_exists(path)) rc = 1;
  if (!history) return rc;
  const std::string dir = profile_dir(tag);
  std::vector<std::string> names;
  FsFailure why = FsFailure::none;
  if (!dir_list(dir, &names, &why)) return why == FsFailure::missing ? rc : 1;
  for (const std::string& name : names)
    if (!file_remove(path_join(dir, name))) rc = 1;
  if (!dir_remove(dir)) rc = 1;
  return rc;
}

}  // namespace vl
