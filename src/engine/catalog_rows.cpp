#include "engine/catalog_rows.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "run/run_control.h"

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

// Writes one row; size and block rows name their file by its row id. Returns the id of a new file
// or directory row (0 when the catalog refused it), else 0.
uint32_t row_write(const Row& row, uint32_t file_id) {
  switch (row.kind) {
    case Row::Kind::file:
    case Row::Kind::directory:
      return catalog_filespec_insert(row.path, row.rec, row.blocksize);
    case Row::Kind::size:
      catalog_filespec_size_set(file_id, row.value);
      break;
    case Row::Kind::block:
      catalog_seg_insert(file_id, row.value, row.block_size, row.digest);
      break;
  }
  return 0;
}

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
    helper_thread_register(ctx_, kHelperSlotCatalog);
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
    const uint32_t id = row_write(row, row.kind == Row::Kind::file ? 0 : id_of(row.ticket));
    if (row.kind != Row::Kind::file) return;
    if (ids_.size() <= row.ticket) ids_.resize(row.ticket + 1, 0);
    ids_[row.ticket] = id;
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

// Hands the row to the writer, or writes it here without one. Returns the file's ticket for a file
// row (its row id without a writer), else 0.
static uint32_t row_submit(Row row) {
  if (!g_writer) return row_write(row, row.ticket);
  uint32_t ticket = 0;
  if (row.kind == Row::Kind::file) ticket = row.ticket = g_writer->next_ticket();
  g_writer->push(std::move(row));
  return ticket;
}

uint32_t catalog_rows_file(const std::string& path, const FilespecRecord& rec, uint32_t blocksize) {
  Row row;
  row.path = path;
  row.rec = rec;
  row.blocksize = blocksize;
  return row_submit(std::move(row));
}

void catalog_rows_directory(const std::string& path, const FilespecRecord& rec, uint32_t blocksize) {
  Row row;
  row.kind = Row::Kind::directory;
  row.path = path;
  row.rec = rec;
  row.blocksize = blocksize;
  row_submit(std::move(row));
}

void catalog_rows_size(uint32_t ticket, uint64_t size) {
  Row row;
  row.kind = Row::Kind::size;
  row.ticket = ticket;
  row.value = size;
  row_submit(std::move(row));
}

void catalog_rows_block(uint32_t ticket, uint64_t offset, uint32_t size, const uint8_t digest[16]) {
  Row row;
  row.kind = Row::Kind::block;
  row.ticket = ticket;
  row.value = offset;
  row.block_size = size;
  std::memcpy(row.digest, digest, 16);
  row_submit(std::move(row));
}

}  // namespace vl
