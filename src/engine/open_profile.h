// Opening a profile for a run.
#pragma once

#include "run/profile_records.h"

namespace vl {

enum OpenProfileResult : int {
  kOpenProfileOk = 0,
  kOpenProfileFailed = 1,   // "Unable to open profile" shown
  kOpenProfileRunning = 2,  // "Backup profile %s is already running!" shown
  kOpenProfileLockFailed = 3,  // "Cannot create the run lock <path>: <reason>" shown
};

// Loads the profile of `entry` into the cleared process-wide run context, takes the profile's
// run lock (released when the context is cleared or the process ends) and makes `entry` the
// profile entry being run. Returns an OpenProfileResult; each failure has shown its box.
// UI thread.
int open_profile(ProfileListEntry* entry);

}  // namespace vl
