#include "run/profile_records.h"

namespace vl {

std::vector<std::unique_ptr<ProfileListEntry>> profile_list;
ProfileListEntry* profile_entry_running = nullptr;

std::unique_ptr<ProfileSettings> profile_new_defaults() {
  auto p = std::make_unique<ProfileSettings>();
  p->server = kDefaultServerHost;
  p->port = kDefaultPort;
  p->thread_priority = kDefaultThreadPriority;
  p->tx_rate = kDefaultRate;
  p->tx_rate_unit = kDefaultRateUnit;
  p->rx_rate = kDefaultRate;
  p->rx_rate_unit = kDefaultRateUnit;
  return p;
}

void profile_defaults_repair(ProfileSettings* p) {
  if (p->port == 0) p->port = kDefaultPort;
  if (p->thread_priority > 4) p->thread_priority = kDefaultThreadPriority;
  if (p->tx_rate_unit > 5) p->tx_rate_unit = kDefaultRateUnit;
  if (p->rx_rate_unit > 5) p->rx_rate_unit = kDefaultRateUnit;
}

}  // namespace vl
