#include "engine/status.h"

#include "engine/format.h"
#include "ui/controls.h"
#include "ui/port.h"

namespace vl {

void status_set(RunContext& ctx, const std::string& text) {
  ctx.status_text = text;
  run_view_text(kCtlStatus, text);
}

void counter_show(int control, uint64_t value) { run_view_text(control, count_format(value) + " "); }

}  // namespace vl
