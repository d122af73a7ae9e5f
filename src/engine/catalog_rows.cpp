#include "engine/catalog_rows.h"

#include <cassert>
#include <cstring>
#include <deque>

#include "platform/worker_queue.h"
#include "run/run_control.h"

namespace vl {

// Rows waiting for the writer or being written; the worker waits when this many are (about
// 2 MiB). The writer is woken for a batch, not for every row: a wake-up costs more than a row.
constexpr size_t kQueuedRowsMax = 8192;
constexpr size_t kBatchRows = 512;

struct CatalogRow {
  enum class Kind { file, directory, size, block } kind = Kind::file;
  uint32_t ticket = 0;  // file: the ticket handed out; size, block: the file's ticket
  std::string path;
  FilespecRecord rec{};
  uint32_t blocksize = 0;
  uint64_t value = 0;  // size: the size; block: the offset
  uint32_t block_size = 0;
  uint8_t digest[16] = {};
};

FilespecRecord filespec_record(const FileStat& st, uint8_t type, uint8_t attr) {
  FilespecRecord rec{};
  rec.type = type;
  rec.attr = attr;
  rec.mode = st.mode;
  rec.owner = st.owner;
  rec.group = st.group;
  rec.size = st.size;
  rec.t_access = st.t_access;
  rec.t_change = st.t_change;
  rec.t_modify = st.t_modify;
  return rec;
}

// Writes one row; size and block rows name their file by its row id. Returns the id of a new file
// or directory row (0 when the catalog refused it), else 0.
static uint32_t row_write(const CatalogRow& row, uint32_t file_id) {
  switch (row.kind) {
    case CatalogRow::Kind::file:
    case CatalogRow::Kind::directory:
      return catalog_filespec_insert(row.path, row.rec, row.blocksize);
    case CatalogRow::Kind::size:
      catalog_filespec_size_set(file_id, row.value);
      break;
    case CatalogRow::Kind::block:
      catalog_seg_insert(file_id, row.value, row.block_size, row.digest);
      break;
  }
  return 0;
}

CatalogRows::CatalogRows(RunContext& ctx) : ctx_(ctx) {}

CatalogRows::~CatalogRows() { stop(); }

bool CatalogRows::start(std::string* error) {
  if (queue_ || !catalog_is_open()) return true;
  WorkerQueueOptions o;
  o.name = "catalog writer";
  o.bound = kQueuedRowsMax;
  o.wake_items = kBatchRows;
  o.take_max = kQueuedRowsMax / 2;
  o.on_start = [this] { helper_thread_register(ctx_, kHelperSlotCatalog); };
  o.failed = [this](const std::string& why) { run_abort(ctx_, kAbortRunThread, why); };
  queue_ = std::make_unique<WorkerQueue<CatalogRow>>(std::move(o), [this](std::deque<CatalogRow>& batch) {
    for (const CatalogRow& row : batch) write(row);
  });
  if (queue_->start(error)) return true;
  queue_.reset();
  return false;
}

void CatalogRows::stop() {
  if (!queue_) return;
  queue_->stop(ctx_.cancel != 1);
  queue_.reset();
  ctx_.helper_tids[kHelperSlotCatalog] = 0;
}

uint32_t CatalogRows::id_of(uint32_t ticket) const {
  assert((ticket == 0 || ticket == last_ticket_) && "a file's rows come before the next file's row");
  return ticket == last_ticket_ ? last_id_ : 0;
}

void CatalogRows::write(const CatalogRow& row) {
  const uint32_t file_id = row.kind == CatalogRow::Kind::file ? 0 : id_of(row.ticket);
  const uint32_t id = row_write(row, file_id);
  if (row.kind != CatalogRow::Kind::file) return;
  last_ticket_ = row.ticket;
  last_id_ = id;
}

// Hands the row to the writer, or writes it here without one. Returns the file's ticket for a file
// row (its row id without a writer), else 0.
uint32_t CatalogRows::submit(CatalogRow&& row) {
  if (!queue_) return row_write(row, row.ticket);
  uint32_t ticket = 0;
  if (row.kind == CatalogRow::Kind::file) ticket = row.ticket = next_ticket_++;
  queue_->push(std::move(row), ctx_.cancel.token());
  return ticket;
}

uint32_t CatalogRows::file(const std::string& path, const FilespecRecord& rec, uint32_t blocksize) {
  CatalogRow row;
  row.path = path;
  row.rec = rec;
  row.blocksize = blocksize;
  return submit(std::move(row));
}

void CatalogRows::directory(const std::string& path, const FilespecRecord& rec, uint32_t blocksize) {
  CatalogRow row;
  row.kind = CatalogRow::Kind::directory;
  row.path = path;
  row.rec = rec;
  row.blocksize = blocksize;
  submit(std::move(row));
}

void CatalogRows::size(uint32_t ticket, uint64_t size) {
  CatalogRow row;
  row.kind = CatalogRow::Kind::size;
  row.ticket = ticket;
  row.value = size;
  submit(std::move(row));
}

void CatalogRows::block(uint32_t ticket, uint64_t offset, uint32_t size, const uint8_t digest[16]) {
  CatalogRow row;
  row.kind = CatalogRow::Kind::block;
  row.ticket = ticket;
  row.value = offset;
  row.block_size = size;
  std::memcpy(row.digest, digest, 16);
  submit(std::move(row));
}

}  // namespace vl
