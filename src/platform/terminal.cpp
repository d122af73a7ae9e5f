#include "platform/terminal.h"

#include <unistd.h>

namespace vl {

bool is_terminal(FILE* stream) { return ::isatty(::fileno(stream)) != 0; }

}  // namespace vl
