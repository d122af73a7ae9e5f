#include "engine/open_profile.h"

#include "run/run_context.h"
#include "stores/profile_db.h"
#include "ui/port/port.h"

namespace vl {

int open_profile(ProfileListEntry* entry) {
  std::unique_ptr<ProfileSettings> profile = profile_load(entry->tag, false);
  if (!profile) {
    message_box(BoxOwner::none, entry->tag, "Unable to open profile");
    return 1;
  }
  RunContext& ctx = run_context();
  run_context_clear(ctx);
  profile->tag = entry->tag;
  ctx.profile = std::move(profile);
  ctx.entry_tag = entry->tag;
  ctx.entry_description = entry->description;
  profile_entry_running = entry;
  return 0;
}

}  // namespace vl
