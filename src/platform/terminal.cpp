#include "platform/terminal.h"

#include <termios.h>
#include <unistd.h>

namespace vl {

bool is_terminal(FILE* stream) { return ::isatty(::fileno(stream)) != 0; }

bool terminal_read_secret(const char* prompt, std::string* out) {
  termios saved;
  if (::tcgetattr(STDIN_FILENO, &saved) != 0) return false;
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;  // the line break still shows, so the next output starts a new line
  // The echo goes off before the prompt shows: what is typed as soon as it shows is not echoed.
  if (::tcsetattr(STDIN_FILENO, TCSANOW, &quiet) != 0) return false;
  std::fputs(prompt, stderr);
  std::fflush(stderr);
  char buf[256];
  const bool got = std::fgets(buf, sizeof buf, stdin) != nullptr;
  ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  if (!got) return false;
  *out = buf;
  while (!out->empty() && (out->back() == '\n' || out->back() == '\r')) out->pop_back();
  return true;
}

}  // namespace vl
