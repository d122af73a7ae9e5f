#include "stores/config_db.h"

#include "platform/dirs.h"
#include "stores/profile_db.h"
#include "stores/store_db.h"

namespace vl {

namespace {

Db g_config;

const char* const kConfigFile = "vornlake.dat";
const char* const kProfilesCreateSql =
    "create table profiles ( id integer not null primary key autoincrement, profile varchar(64) "
    "not null, status integer unsigned not null, t_last integer unsigned not null, "
    "t_last_completed integer unsigned not null, runs integer unsigned not null, runs_completed "
    "integer unsigned not null, last_cat integer unsigned not null, last_cat_completed integer "
    "unsigned not null )";
const char* const kProfileIdxSql = "create unique index profile_idx on profiles( profile )";
const char* const kConfigSeedSql = "insert into vornlake_info values ( null, 1, 1, %d, %d, %d )";
const char* const kRemoveSql = "delete from profiles where profile=?";
const char* const kAddSql =
    "insert into profiles (profile,status,t_last,t_last_completed,runs,runs_completed,last_cat,"
    "last_cat_completed) values (?,?,0,0,0,0,0,0)";
const char* const kListSql = "select id,profile,status from profiles order by profile";

constexpr size_t kListTagMax = 255;

int config_init_tables(sqlite3* db) {
  schema_drop(db, {"vornlake_info", "profiles"});
  return schema_run(db,
                    {{kProfilesCreateSql, "Error initializing vornlake.dat / profiles"},
                     {kProfileIdxSql, "Error creating indexes on vornlake.dat / profiles"},
                     {kVornlakeInfoCreateSql, "Error initializing vornlake.dat / vornlake_info"},
                     {version_seed_sql(kConfigSeedSql),
                      "Error seeding initial vornlake.dat / vornlake_info records"}},
                    "SQL Error");
}

}  // namespace

int config_open() {
  if (g_config) return 0;
  return store_open_or_create(&g_config, path_join(data_dir(), kConfigFile),
                              "Can't open configuration database!", config_init_tables);
}

int config_close() {
  g_config.close();
  return 0;
}

int config_remove_profile(const std::string& tag) {
  const char* op = "config_remove_profile";
  StmtLease q = g_config.prepared(kRemoveSql, op);
  if (!q) return 1;
  if (!binds_ok(op, {{db_bind_text(*q, 1, tag), "Couldn't bind profile"}})) return 0;
  return step_done(*q, op, "Error executing statement") ? 0 : 1;
}

int config_add_profile(const std::string& tag, int32_t status) {
  const char* op = "config_add_profile";
  config_remove_profile(tag);
  StmtLease q = g_config.prepared(kAddSql, op);
  if (!q) return 1;
  if (!binds_ok(op, {{db_bind_text(*q, 1, tag), "Couldn't bind profile"},
                     {db_bind_int(*q, 2, status), "Couldn't bind status"}}))
    return 0;
  return step_done(*q, op, "Error executing statement") ? 0 : 1;
}

int config_load_profiles() {
  const char* op = "config_load_profiles";
  config_free_profiles();
  StmtLease q = g_config.prepared(kListSql, op);
  if (!q) return 0;
  int rc = db_step(*q);
  if (rc == SQLITE_DONE) return 0;
  if (rc != SQLITE_ROW) {
    store_sql_error(op, "Error executing statement");
    return 1;
  }
  // A later failing step ends the list without a message: what was read is kept.
  for (; rc == SQLITE_ROW; rc = db_step(*q)) {
    auto entry = std::make_unique<ProfileListEntry>();
    entry->id = sqlite3_column_int(q.get(), 0);
    entry->tag = db_column_text(*q, 1, kListTagMax);
    entry->status = sqlite3_column_int(q.get(), 2);
    if (profile_load_description(entry->tag, &entry->description, false) == 0)
      profile_list.push_back(std::move(entry));
  }
  return 0;
}

void config_free_profiles() {
  for (const auto& entry : profile_list) {
    if (entry.get() == profile_entry_running) profile_entry_running = nullptr;
  }
  profile_list.clear();
}

}  // namespace vl
