#include "trace.h"

#include <algorithm>

#include "digest.h"

namespace vl::ref {

bool Trace::open(const std::string& path) {
  if (path.empty()) return true;
  file_ = file_open(path, "a");
  return file_ != nullptr;
}

std::string trace_line(uint64_t conn, bool from_client, const uint8_t* msg, size_t len,
                       bool ahead) {
  std::string type = bytes_hex(msg, std::min<size_t>(len, 2));
  while (type.size() < 4) type += "--";
  std::string line = std::to_string(conn) + (from_client ? " C " : " S ") + type + " " +
                     std::to_string(len);
  if (type != "8012") line += " " + bytes_hex(msg, std::min<size_t>(len, 96));
  if (ahead) line += " ahead";
  return line;
}

void Trace::record(uint64_t conn, bool from_client, const uint8_t* msg, size_t len, bool ahead) {
  if (!file_) return;
  std::string line = trace_line(conn, from_client, msg, len, ahead) + "\n";
  std::lock_guard<std::mutex> lock(mutex_);
  std::fwrite(line.data(), 1, line.size(), file_.get());
  std::fflush(file_.get());
}

}  // namespace vl::ref
