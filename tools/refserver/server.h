// The serve command: TLS listener on a loopback address, one thread per connection.
#pragma once

#include "options.h"

namespace vl::ref {

// Opens the store, loads the certificate and key, listens, prints "listening on ADDR:PORT" on
// stdout, then serves until SIGTERM or SIGINT, lets every connection end, writes and syncs the
// store (another SIGTERM or SIGINT meanwhile is noted; the server ends once this is done) and
// returns 0. Returns 1 (after a message on stderr) when it cannot start or the final sync fails.
// Main thread.
int serve_run(const ServeOptions& options);

}  // namespace vl::ref
