#include "run/run_log.h"

#include <cstdarg>
#include <cstdio>

#include "run/run_texts.h"

namespace vl {

namespace {

void write_out(RunContext& ctx, const std::string& text) {
  if (FILE* f = ctx.log.get()) std::fwrite(text.data(), 1, text.size(), f);
}

// Writes every closed piece at the front of the queue.
void flush_closed(RunContext& ctx) {
  RunLogQueue& q = ctx.log_queue;
  while (!q.pieces.empty() && !q.pieces.front().open) {
    write_out(ctx, q.pieces.front().text);
    q.pieces.pop_front();
    ++q.first_id;
  }
}

RunLogPiece* piece_of(RunContext& ctx, LogSlot slot) {
  RunLogQueue& q = ctx.log_queue;
  if (slot < q.first_id || slot - q.first_id >= q.pieces.size()) return nullptr;
  return &q.pieces[slot - q.first_id];
}

}  // namespace

void run_log(RunContext& ctx, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  if (ctx.log_queue.pieces.empty()) {
    if (FILE* f = ctx.log.get()) std::vfprintf(f, fmt, args);
    va_end(args);
    return;
  }
  std::string text = format_text_v(fmt, args);
  va_end(args);
  ctx.log_queue.pieces.push_back({std::move(text), false});
}

LogSlot run_log_reserve(RunContext& ctx) {
  RunLogQueue& q = ctx.log_queue;
  q.pieces.push_back({std::string(), true});
  return q.first_id + q.pieces.size() - 1;
}

void run_log_append(RunContext& ctx, LogSlot slot, const std::string& text) {
  RunLogPiece* p = piece_of(ctx, slot);
  if (p && p->open) p->text += text;
}

void run_log_close(RunContext& ctx, LogSlot slot) {
  RunLogPiece* p = piece_of(ctx, slot);
  if (!p) return;
  p->open = false;
  flush_closed(ctx);
}

void run_log_close_all(RunContext& ctx) {
  for (RunLogPiece& p : ctx.log_queue.pieces) p.open = false;
  flush_closed(ctx);
}

}  // namespace vl
