#include "engine/catalog_rows.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/thread_priority.h"

namespace vl {
namespace {

// Rows waiting for the writer; the worker waits when this many are queued (about 1 MiB). The
// writer is woken for a batch, not for every row: a wake-up costs more than a row.
constexpr size_t kQueuedRowsMax = 4096;
constexpr size_t kBatchRows = 512;

struct Row {
  enum class Kind { file, directory, size, block } kind = Kind::file;
  uint32_t ticket = 0;  // file: the ticket handed out; size, block: the file's ticket
  std::string path;
  FilespecRecord rec{};
  uint32_t blocksize = 0;
  uint64_t value = 0;  // size: the size; block: the offset
  uint32_t block_size = 0;
  uint8_t digest[16] = {};
};

class RowWriter {
 public:
  explicit RowWriter(RunContext& ctx) : ctx_(ctx), ids_(1, 0) {
    thread_ = std::thread([this] { run(); });
  }

  ~RowWriter() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    work_cv_.notify_one();
    thread_.join();
    ctx_.helper_tids[kHelperSlotCatalog] = 0;
  }

  uint32_t next_ticket() { return next_ticket_++; }

  void push(Row row) {
    std::unique_lock<std::mutex> lock(mu_);
    space_cv_.wait(lock, [this] { return queue_.size() < kQueuedRowsMax; });
    queue_.push_back(std::move(row));
    if (queue_.size() == kBatchRows) work_cv_.notify_one();
  }

 private:
  void run() {
    ctx_.helper_tids[kHelperSlotCatalog] = thread_id_current();
    if (ctx_.profile)
      thread_priority_set(ctx_.helper_tids[kHelperSlotCatalog], ctx_.profile->thread_priority);
    std::deque<Row> batch;
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      work_cv_.wait(lock, [this] { return stop_ || queue_.size() >= kBatchRows; });
      if (queue_.empty()) return;  // stopped, and everything written
      batch.swap(queue_);
      lock.unlock();
      space_cv_.notify_all();
      for (const Row& row : batch) write(row);
      batch.clear();
      lock.lock();
    }
  }

  uint32_t id_of(uint32_t ticket) const { return ticket < ids_.size() ? ids_[ticket] : 0; }

  void write(const Row& row) {
    switch (row.kind) {
      case Row::Kind::file:
        if (ids_.size() <= row.ticket) ids_.resize(row.ticket + 1, 0);
        ids_[row.ticket] = catalog_filespec_insert(row.path, row.rec, row.blocksize);
        break;
      case Row::Kind::directory:
        catalog_filespec_insert(row.path, row.rec, row.blocksize);
        break;
      case Row::Kind::size:
        catalog_filespec_size_set(id_of(row.ticket), row.value);
        break;
      case Row::Kind::block:
        catalog_seg_insert(id_of(row.ticket), row.value, row.block_size, row.digest);
        break;
    }
  }

  RunContext& ctx_;
  std::thread thread_;
  std::mutex mu_;
  std::condition_variable work_cv_, space_cv_;
  std::deque<Row> queue_;
  bool stop_ = false;
  uint32_t next_ticket_ = 1;    // worker
  std::vector<uint32_t> ids_;   // writer: ticket -> row id
};

std::unique_ptr<RowWriter> g_writer;

}  // namespace

void catalog_rows_start(RunContext& ctx) {
  if (!g_writer && catalog_is_open()) g_writer = std::make_unique<RowWriter>(ctx);
}

void catalog_rows_stop() { g_writer.reset(); }

uint32_t catalog_rows_file(const std::string& path, const FilespecRecord& rec, uint32_t blocksize) {
  if (!g_writer) return catalog_filespec_insert(path, rec, blocksize);
  Row row;
  row.kind = Row::Kind::file;
  row.ticket = g_writer->next_ticket();
  row.path = path;
  row.rec = rec;
  row.blocksize = blocksize;
  const uint32_t ticket = row.ticket;
  g_writer->push(std::move(row));
  return ticket;
}

void catalog_rows_directory(const std::string& path, const FilespecRecord& rec, uint32_t blocksize) {
  if (!g_writer) {
    catalog_filespec_insert(path, rec, blocksize);
    return;
  }
  Row row;
  row.kind = Row::Kind::directory;
  row.path = path;
  row.rec = rec;
  row.blocksize = blocksize;
  g_writer->push(std::move(row));
}

void catalog_rows_size(uint32_t ticket, uint64_t size) {
  if (!g_writer) {
    catalog_filespec_size_set(ticket, size);
    return;
  }
  Row row;
  row.kind = Row::Kind::size;
  row.ticket = ticket;
  row.value = size;
  g_writer->push(std::move(row));
}

void catalog_rows_block(uint32_t ticket, uint64_t offset, uint32_t size, const uint8_t digest[16]) {
  if (!g_writer) {
    catalog_seg_insert(ticket, offset, size, digest);
    return;
  }
  Row row;
  row.kind = Row::Kind::block;
  row.ticket = ticket;
  row.value = offset;
  row.block_size = size;
  std::memcpy(row.digest, digest, 16);
  g_writer->push(std::move(row));
}

}  // namespace vl
