// Opening a profile for a run.
#pragma once

#include "run/profile_records.h"

namespace vl {

// Loads the profile of `entry` into the cleared process-wide run context and makes `entry` the
// profile entry being run. On failure shows "Unable to open profile" (text: the tag) and returns
// 1; returns 0 on success. UI thread.
int open_profile(ProfileListEntry* entry);

}  // namespace vl
