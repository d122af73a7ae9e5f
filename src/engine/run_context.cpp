#include "engine/run_context.h"

#include <openssl/ssl.h>

namespace vl {

static void connection_release(ServerConnection& conn) {
  if (conn.ssl) {
    SSL_free(conn.ssl);  // frees the BIO it owns
  } else if (conn.bio) {
    BIO_free_all(conn.bio);
  }
  conn.ssl = nullptr;
  conn.bio = nullptr;
}

RunContext::~RunContext() {
  if (worker_thread.joinable()) worker_thread.join();
  connection_release(conn);
}

void run_context_clear(RunContext& ctx) {
  if (ctx.worker_thread.joinable()) ctx.worker_thread.join();
  connection_release(ctx.conn);
  ctx.profile.reset();
  ctx.log.reset();
  ctx.catalog_path.clear();
  ctx.t_start = 0;
  ctx.t_end = 0;
  ctx.catalog_id = 0;
  ctx.server_profile_id = 0;
  ctx.stats = RunStats();
  ctx.cancel = 0;
  ctx.pause = 0;
  ctx.worker_active = false;
  ctx.worker_tid = 0;
  ctx.status_text.clear();
  ctx.outcome = kRunGoing;
}

RunContext& run_context() {
  static RunContext ctx;
  return ctx;
}

}  // namespace vl
