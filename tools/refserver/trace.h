// The trace file: one line per message received or sent, flushed at once so that tests can read
// it while the server runs:  <conn#> <C|S> <GGCC hex> <length> <hex of the first 96 bytes>
// (segment data messages without the hex). A reply ('S') line ends with " ahead" when more bytes
// of the client were already waiting as the reply went out: the client sent ahead instead of
// waiting for the reply, which a strictly one-at-a-time client never does. Safe to use from every
// connection thread at once.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/fs.h"

namespace vl::ref {

class Trace {
 public:
  // Opens (appending to) path; an empty path records nothing. False when it cannot be opened.
  bool open(const std::string& path);
  bool enabled() const { return file_ != nullptr; }
  // from_client: 'C' line, else 'S'; ahead: see above.
  void record(uint64_t conn, bool from_client, const uint8_t* msg, size_t len, bool ahead = false);

 private:
  std::mutex mutex_;
  FilePtr file_;
};

// The text of one trace line, without the line break.
std::string trace_line(uint64_t conn, bool from_client, const uint8_t* msg, size_t len,
                       bool ahead = false);

}  // namespace vl::ref
