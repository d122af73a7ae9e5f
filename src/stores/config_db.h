// The configuration database "vornlake.dat" in the data directory: one row per profile, keyed by
// its tag, from which the in-memory profile_list is built. Opened once at start-up, kept open
// until shutdown; used only from the user-interface thread.
#pragma once

#include <cstdint>
#include <string>

#include "run/profile_records.h"

namespace vl {

// Opens the database, creating its tables when the file is new or has lost its version record.
// Returns 0 when ready, 1 on failure (reported in message boxes; the handle stays closed).
int config_open();

// Closes the database if it is open. Returns 0.
int config_close();

// Deletes the row of tag. Returns 1 when preparing or executing failed, 0 otherwise (also after
// a reported bind failure, and when there was no row). Reports every failure.
int config_remove_profile(const std::string& tag);

// Replaces the row of tag by a new one with status (and a new id). Results as
// config_remove_profile.
int config_add_profile(const std::string& tag, int32_t status);

// Rebuilds profile_list from the table, ascending by tag bytes, with each profile's description
// read from its own database; a profile whose database is missing or unreadable is left out
// after its box. Returns 1 when the first step of the query fails, 0 otherwise (also after a
// reported prepare failure, which leaves the list empty).
int config_load_profiles();

// Releases every entry of profile_list; the profile entry being run, when it was one of them,
// is cleared with it.
void config_free_profiles();

}  // namespace vl
