#include "stores/profile_records.h"

namespace vl {

std::vector<std::unique_ptr<ProfileListEntry>> profile_list;
ProfileListEntry* profile_entry_running = nullptr;

}  // namespace vl
