// Local retention of a profile's runs: once a run's catalog is on the server, its local copy and
// its run log are only a record, and a run of a large tree leaves hundreds of megabytes of them.
// A run's files are those named after its catalog id in the profile's folder: "<8 hex>.cat",
// "<8 hex>.log", and the catalog's leftovers "<8 hex>.cat.z" and "<8 hex>.cat-journal" of a run
// that stopped half way. Nothing else in the folder is ever touched.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/folder_prune.h"

namespace vl {

// Runs whose files are kept unless the settings say otherwise (Keep_Runs; 0 keeps every run).
void keep_runs_set(int runs);
int keep_runs();

// The names among files to remove so that only the `keep` newest runs stay, besides the run of
// current_id (in progress), which is never chosen. A run is as new as the newest of its files
// (by modification time, as Last Run judges it; a tie goes to the higher id). keep 0 chooses
// nothing. Names that are not a run's files are never chosen.
std::vector<std::string> retention_doomed(const std::vector<FolderFile>& files, int keep,
                                          uint32_t current_id);

// Removes from profile_dir the files of the runs beyond the keep_runs() newest, sparing the run
// of current_id. Returns the number of runs whose files were removed (0 also when the folder
// cannot be opened, or is a link). Worker thread, at the start of a run.
int retention_apply(const std::string& profile_dir, uint32_t current_id);

}  // namespace vl
