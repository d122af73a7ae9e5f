// Read-ahead for the walk: a thread of its own goes through the regular files of each listed
// folder a little ahead of the worker. While the worker reads files (their digests are not in the
// cache), the thread reads each small file whole, digests and compresses it, and the worker takes
// the result instead of reading the file itself: on a tree of many small files the worker's part
// is then mostly the dialogue. Of a larger file it asks the kernel to read the first MiB in the
// background, unless everything was in the page cache already.
//
// It reports nothing it fails at: the worker opens, checks and reads every file it gets no result
// for, and every result whose before-and-after fstat does not match what the walk saw. It opens
// only what the folder lists as a regular file, never a device or a FIFO, and reads nothing while
// the run is paused. Worker thread only, except where said.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "run/run_context.h"

namespace vl {

// Files of at most this many bytes are read whole by the thread.
constexpr uint64_t kPreparedFileMax = 32 * 1024;

// A small file read by the thread: what it was when opened and after the read, its content's
// digest, and its payload (the level-9 stream, or the content when that is no longer).
struct PreparedFile {
  std::string path;
  FileStat opened;
  FileStat after;
  uint32_t size = 0;  // the bytes read, opened.size of them
  uint8_t digest[16] = {};
  bool compressed = false;
  std::vector<uint8_t> payload;
};

class ReadAhead {
 public:
  explicit ReadAhead(RunContext& ctx);
  ~ReadAhead();  // stop()
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // Starts the thread; it takes the profile's priority, and a failure of its own (memory) ends
  // the run (run_abort). False, with *error, when the thread cannot be started. Without it every
  // call below does nothing (take: nullptr).
  bool start(std::string* error);

  // Stops the thread (at once: what is not read ahead yet is left). Nothing when none runs.
  void stop();

  // The entries of folder, as listed, and which of them are regular files; the worker goes
  // through them next, and says so with folder_done. The thread keeps at most a few hundred
  // entries ahead of the worker.
  // Below `base`, no symbolic link is followed (the walk's).
  void folder(const std::string& folder, const std::vector<std::string>& names,
              const std::vector<char>& regular, const PathBase& base = {});

  // The worker has gone through the entries of the folder it listed last (and not yet done).
  void folder_done();

  // The worker has come to an entry of the walk (any kind, excluded ones too).
  void passed();

  // The thread's result for path, the file the worker is at, or nullptr. Results for entries
  // before it that the worker passed over are let go.
  std::unique_ptr<PreparedFile> take(const std::string& path);

  // The worker is to read a file (or take the thread's result for it). While it reads none (their
  // digests come from the cache), the thread mostly rests.
  void reading();

 private:
  struct State;
  std::unique_ptr<State> s_;
  bool running_ = false;
};

}  // namespace vl
