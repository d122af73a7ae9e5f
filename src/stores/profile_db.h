// The profile database "<data>/Profiles/<tag>/<tag>.cfg": one profile's settings as typed
// parameter rows. Each operation opens and closes the file itself. User-interface thread
// (profile list, editor, opening a profile for a run).
#pragma once

#include <memory>
#include <string>

#include "run/profile_records.h"

namespace vl {

// Parameter codes of the config table (the file format; the catalog carries a copy).
enum ProfileParm : int {
  kParmServer = 1,
  kParmPort = 2,
  kParmLogin = 3,
  kParmPassword = 4,
  kParmClientType = 5,
  kParmVerMajor = 6,
  kParmVerMinor = 7,
  kParmVerBuild = 8,
  kParmUnused9 = 9,
  kParmDescription = 10,
  kParmTag = 11,
  kParmThreadPriority = 12,
  kParmFileDelay = 13,
  kParmBlockDelay = 14,
  kParmTxThrottle = 15,
  kParmTxRateUnit = 16,
  kParmTxRate = 17,
  kParmRxThrottle = 18,
  kParmRxRateUnit = 19,
  kParmRxRate = 20,
  kParmInclude = 128,
  kParmExclude = 129,
};

// "<data>/Profiles/<tag>/<tag>.cfg".
std::string profile_db_path(const std::string& tag);

// Writes p as a new profile database (the previous one becomes ".cfg.bak") and registers the tag
// in the configuration database with status 2. The tag's row is removed first and added again
// only when the whole file was written. Returns 0, or 1 on a reported failure.
int profile_create(const ProfileSettings& p);

// Reads the profile of tag. Texts longer than their field are cut to it; a missing port becomes
// 5420, a priority above 4 and a rate unit above 5 become 1. Returns nullptr when the file is
// missing or unreadable or lacks server, login or password; quiet suppresses those boxes and the
// unknown-parameter warnings, never a failed prepare.
std::unique_ptr<ProfileSettings> profile_load(const std::string& tag, bool quiet);

// Reads only the description of tag into *dest (unchanged when the profile has none; at most
// 255 bytes). Returns 0, or 1 when the file is missing or unreadable or the query fails;
// quiet as for profile_load.
int profile_load_description(const std::string& tag, std::string* dest, bool quiet);

// Removes the tag's row, its database and the ".cfg.bak" beside it (both hold the password).
// With history, also everything else in the profile's folder (run logs, catalogs, the Last Run
// record) and the folder; without, those stay, so that a profile made again under the tag shows
// them. Returns 0, or 1 when a file could not be removed.
int profile_delete(const std::string& tag, bool history = false);

}  // namespace vl
