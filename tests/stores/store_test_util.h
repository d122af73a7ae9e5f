// Helpers of the store tests: reading and writing the databases as an outsider would (own
// connection, plain sqlite3 API), a filled profile record, and the recorded boxes.
#pragma once

#include <sqlite3.h>
#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "run/profile_records.h"
#include "support/recording_port.h"

namespace vl::test {

using Rows = std::vector<std::vector<std::string>>;

// Every row of sql on the database at path (NULL as "<null>"); a failing statement gives a
// single row {"<error: message>"}.
inline Rows sql_rows(const std::string& path, const std::string& sql) {
  Rows rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return {{"<error: open>"}};
  }
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    rows.push_back({std::string("<error: ") + sqlite3_errmsg(db) + ">"});
  } else {
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
        const unsigned char* t = sqlite3_column_text(stmt, i);
        row.push_back(t ? std::string(reinterpret_cast<const char*>(t),
                                      static_cast<size_t>(sqlite3_column_bytes(stmt, i)))
                        : "<null>");
      }
      rows.push_back(row);
    }
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return rows;
}

// The first column of every row.
inline std::vector<std::string> sql_column(const std::string& path, const std::string& sql) {
  std::vector<std::string> out;
  for (const auto& row : sql_rows(path, sql)) out.push_back(row.empty() ? "" : row[0]);
  return out;
}

// The first column of the first row, "" when there is none.
inline std::string sql_value(const std::string& path, const std::string& sql) {
  auto col = sql_column(path, sql);
  return col.empty() ? "" : col[0];
}

// Runs statements on path (created when absent). Returns SQLite's result.
inline int sql_exec(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open(path.c_str(), &db);
  if (rc == SQLITE_OK) rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  sqlite3_close(db);
  return rc;
}

inline std::vector<std::pair<std::string, std::string>> boxes_of(const RecordingBackend& ui) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& b : ui.boxes()) out.emplace_back(b.caption, b.text);
  return out;
}

inline unsigned file_mode(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

// A complete profile: every field set, three include rules and one exclude rule.
inline ProfileSettings sample_profile(const std::string& tag) {
  ProfileSettings p;
  p.tag = tag;
  p.description = "Nightly documents of " + tag;
  p.server = "backup.example.net";
  p.port = 6000;
  p.login = "alice";
  p.password = "s3cret pass";
  p.thread_priority = 3;
  p.file_delay_ms = 25;
  p.block_delay_ms = 7;
  p.tx_throttle = 1;
  p.tx_rate_unit = 2;
  p.tx_rate = 80;
  p.rx_throttle = 0;
  p.rx_rate_unit = 4;
  p.rx_rate = 50;
  p.include_rules = {{"/home/alice"}, {"/etc"}, {"/srv/Data"}};
  p.exclude_rules = {{"/home/alice/.cache/"}};
  return p;
}

}  // namespace vl::test
