// One client connection of the server, from the TLS handshake to the close: greeting, login,
// then the requests of a logged-in client (profile and catalog ids, segment query, upload and
// link, catalog finalize, goodbye), with the faults of the command line applied.
#pragma once

#include <openssl/ssl.h>

#include <cstdint>

#include "faults.h"
#include "options.h"
#include "segment_writer.h"
#include "store.h"
#include "trace.h"

namespace vl::ref {

// What every connection shares.
struct ServerShared {
  const ServeOptions& options;  // accounts and profiles
  Store& store;
  SegmentWriter& writer;  // checked uploads on their way into the store
  Faults& faults;
  Trace& trace;
};

// Serves the accepted socket fd (TLS server side with ctx) until the client says goodbye, the
// connection ends or breaks, a request is malformed or a fault drops it. Does not close fd.
// Called on the connection's own thread; conn numbers the connection in the trace.
void session_serve(SSL_CTX* ctx, int fd, uint64_t conn, ServerShared& shared);

}  // namespace vl::ref
