// The in-memory records of profiles: ProfileSettings with its rule lists, and the entries of the
// profile list built from the configuration database.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/atomic_field.h"

namespace vl {

// Field limits (characters) of the profile record.
constexpr size_t kTagMax = 31;
constexpr size_t kDescriptionMax = 255;
constexpr size_t kServerMax = 255;
constexpr size_t kLoginMax = 32;
constexpr size_t kPasswordMax = 32;
constexpr size_t kRulePathMax = 255;

// The defaults of a profile, written once here.
constexpr uint16_t kDefaultPort = 5420;             // the service's registered port
constexpr char kDefaultServerHost[] = "backup.corvantis.com";  // the service's own server
constexpr uint32_t kDefaultThreadPriority = 1;      // below normal: a backup yields to the user
constexpr uint32_t kDefaultRateUnit = 1;            // KB/s: the unit rate limits are usually given in
constexpr int32_t kDefaultRate = 50;                // shown when throttling is first switched on

// One include or exclude rule, as entered in the rule editor.
struct ProfileRule {
  std::string path;
};

// The settings of one profile. The throttling fields are shared with the user-interface thread
// while a run is going (the throttling dialog and the 100 ms refill), so they are atomic words.
struct ProfileSettings {
  std::string tag;
  std::string description;
  std::string server;
  uint16_t port = 0;
  std::string login;
  std::string password;
  AtomicField<uint32_t> thread_priority{0};
  AtomicField<int32_t> file_delay_ms{0};
  AtomicField<int32_t> block_delay_ms{0};
  AtomicField<int32_t> tx_throttle{0};
  AtomicField<uint32_t> tx_rate_unit{0};
  AtomicField<int32_t> tx_rate{0};
  AtomicField<int32_t> tx_allowance{0};
  AtomicField<int32_t> rx_throttle{0};
  AtomicField<uint32_t> rx_rate_unit{0};
  AtomicField<int32_t> rx_rate{0};
  AtomicField<int32_t> rx_allowance{0};
  std::vector<ProfileRule> include_rules;
  std::vector<ProfileRule> exclude_rules;
};

// A new profile: the defaults above, throttling off, no delays, no rules.
std::unique_ptr<ProfileSettings> profile_new_defaults();

// Puts a loaded value that is out of range back to its default (port 0, priority above 4, a rate
// unit above 5), so that a damaged profile still runs as the editor would have saved it.
void profile_defaults_repair(ProfileSettings* p);

// Releases a profile record and its rule lists (the record is owned through a unique_ptr, so
// this is the same as resetting it).
inline void profile_free(std::unique_ptr<ProfileSettings>& profile) { profile.reset(); }

// One profile of the configuration database, with the description read from its own database.
struct ProfileListEntry {
  int32_t status = 0;
  std::string tag;
  std::string description;
  int32_t id = 0;
};

// The process-wide list of profiles, ascending by tag bytes. Built by config_load_profiles; its
// entries stay where they are (pointers to them stay valid) until the list is rebuilt.
extern std::vector<std::unique_ptr<ProfileListEntry>> profile_list;

// The profile entry being run (an entry of profile_list), or nullptr.
extern ProfileListEntry* profile_entry_running;

}  // namespace vl
