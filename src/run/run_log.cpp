#include "run/run_log.h"

#include <cstdarg>
#include <cstdio>

namespace vl {

void run_log(RunContext& ctx, const char* fmt, ...) {
  FILE* f = ctx.log.get();
  if (!f) return;
  va_list args;
  va_start(args, fmt);
  std::vfprintf(f, fmt, args);
  va_end(args);
}

}  // namespace vl
