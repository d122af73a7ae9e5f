#include "run/run_retention.h"

#include <algorithm>
#include <atomic>
#include <map>

namespace vl {

namespace {

std::atomic<int> g_keep_runs{10};

const char* const kRunSuffixes[] = {".cat", ".log", ".cat.z", ".cat-journal"};

// The catalog id a run's file is named after; false for any other name. Only the lower-case
// digits the client writes count: "0000000A.log" is not one of its files.
bool run_file_id(const std::string& name, uint32_t* id) {
  if (name.size() < 9) return false;
  uint32_t v = 0;
  for (size_t i = 0; i < 8; ++i) {
    const char c = name[i];
    if (c >= '0' && c <= '9') v = v * 16 + static_cast<uint32_t>(c - '0');
    else if (c >= 'a' && c <= 'f') v = v * 16 + static_cast<uint32_t>(c - 'a' + 10);
    else return false;
  }
  const std::string suffix = name.substr(8);
  for (const char* s : kRunSuffixes) {
    if (suffix == s) {
      *id = v;
      return true;
    }
  }
  return false;
}

struct RunFiles {
  uint32_t id = 0;
  int64_t newest_ns = INT64_MIN;
  std::vector<std::string> names;
};

}  // namespace

void keep_runs_set(int runs) { g_keep_runs = runs < 0 ? 0 : runs; }
int keep_runs() { return g_keep_runs.load(); }

std::vector<std::string> retention_doomed(const std::vector<FolderFile>& files, int keep,
                                          uint32_t current_id) {
  if (keep <= 0) return {};
  std::map<uint32_t, RunFiles> by_id;
  for (const FolderFile& f : files) {
    uint32_t id;
    if (!run_file_id(f.name, &id) || id == current_id) continue;
    RunFiles& run = by_id[id];
    run.id = id;
    run.newest_ns = std::max(run.newest_ns, f.mtime_ns);
    run.names.push_back(f.name);
  }
  std::vector<RunFiles> runs;
  for (auto& [id, run] : by_id) runs.push_back(std::move(run));
  std::sort(runs.begin(), runs.end(), [](const RunFiles& a, const RunFiles& b) {
    return a.newest_ns != b.newest_ns ? a.newest_ns > b.newest_ns : a.id > b.id;
  });
  std::vector<std::string> doomed;
  for (size_t i = static_cast<size_t>(keep); i < runs.size(); ++i)
    doomed.insert(doomed.end(), runs[i].names.begin(), runs[i].names.end());
  return doomed;
}

int retention_apply(const std::string& profile_dir, uint32_t current_id) {
  const int keep = keep_runs();
  if (keep <= 0) return 0;
  std::vector<std::string> removed;
  folder_prune(
      profile_dir,
      [&](const std::vector<FolderFile>& files) {
        return retention_doomed(files, keep, current_id);
      },
      &removed);
  // Runs with a file removed: one whose files could not be removed is not counted.
  std::vector<std::string> ids;
  for (const std::string& n : removed) ids.push_back(n.substr(0, 8));
  std::sort(ids.begin(), ids.end());
  return static_cast<int>(std::unique(ids.begin(), ids.end()) - ids.begin());
}

}  // namespace vl
