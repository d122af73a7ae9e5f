// The two identifiers a run needs before it stores anything: the server's number for the
// profile being run and a fresh catalog id. Worker thread, right after server_connect.
#pragma once

#include "run/run_context.h"

namespace vl {

// Asks for the running profile's id by its tag. Returns 0 with ctx.server_profile_id set; 1 when
// the server does not know the profile (the connection is then closed, no retry) or the run is
// cancelled. A short or wrong reply reconnects and asks again ("Retrieving Profile ID...").
int server_get_profile_id(RunContext& ctx);

// Asks for a new catalog id for ctx.server_profile_id. Returns 0 with ctx.catalog_id set; 1 only
// when the run is cancelled or a reconnection's login is refused. A refusal reconnects and asks again ("Allocating Catalog ID..."), as
// does a short or wrong reply.
int server_alloc_catalog_id(RunContext& ctx);

}  // namespace vl
