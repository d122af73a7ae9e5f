#include "engine/open_profile.h"

#include <string>

#include "base/product.h"
#include "platform/dirs.h"
#include "platform/file_lock.h"
#include "run/run_context.h"
#include "stores/profile_db.h"
#include "port/port.h"

namespace vl {

int open_profile(ProfileListEntry* entry) {
  std::unique_ptr<ProfileSettings> profile = profile_load(entry->tag, false);
  if (!profile) {
    message_box(BoxOwner::none, entry->tag, "Unable to open profile");
    return kOpenProfileFailed;
  }
  RunContext& ctx = run_context();
  run_context_clear(ctx);
  // Two runs of one profile would write one cache and one set of catalogs at once.
  const std::string lock_path = path_join(profile_dir(entry->tag), "run.lock");
  std::string why;
  const LockResult lock = ctx.run_lock.try_lock(lock_path, &why);
  if (lock == LockResult::busy) {
    message_box(BoxOwner::none, "Backup profile " + entry->tag + " is already running!",
                kProductName);
    return kOpenProfileRunning;
  }
  // Not "already running": the user would wait for a run that does not exist.
  if (lock == LockResult::failed) {
    message_box(BoxOwner::none, "Cannot create the run lock " + lock_path + ": " + why,
                kProductName);
    return kOpenProfileLockFailed;
  }
  profile->tag = entry->tag;
  ctx.profile = std::move(profile);
  ctx.entry_tag = entry->tag;
  ctx.entry_description = entry->description;
  profile_entry_running = entry;
  return kOpenProfileOk;
}

}  // namespace vl
