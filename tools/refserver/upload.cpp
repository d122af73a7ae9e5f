#include "upload.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vl::ref {

std::string upload_header_parse(const uint8_t* msg, size_t len, UploadHeader* out) {
  if (len != 28) return "upload header of " + std::to_string(len) + " bytes";
  std::memcpy(out->digest.data(), msg + 2, 16);
  out->size = le32(msg + 18);
  out->compressed = msg[22];
  out->level = msg[23];
  out->payload_size = le32(msg + 24);
  if (out->compressed == 0) {
    if (out->level != 0) return "raw upload with compression level " + std::to_string(out->level);
    if (out->payload_size != out->size) return "raw upload whose payload length is not its size";
  } else if (out->compressed == 1) {
    if (out->level != 9) return "compressed upload with level " + std::to_string(out->level);
    // The client sends raw whenever compression does not shrink the content.
    if (out->payload_size > out->size) return "compressed payload longer than the content";
  } else {
    return "compression flag " + std::to_string(out->compressed);
  }
  return "";
}

UploadTools::UploadTools() : out(65536) { zs_ready = inflateInit(&zs) == Z_OK; }

UploadTools::~UploadTools() {
  if (zs_ready) inflateEnd(&zs);
}

UploadReceiver::UploadReceiver(Store& store, const UploadHeader& header, UploadTools& tools)
    : store_(store),
      header_(header),
      in_memory_(header.size <= kHeldInMemoryMax),
      md5_(tools.md5),
      zs_(tools.zs),
      out_(tools.out) {
  md5_.reset();
  if (in_memory_) {
    held_.reserve(header_.size);
  } else {
    file_ = store_.temp_create(header_.digest);
    WorkerQueueOptions o;
    o.name = "upload writer";
    o.bound = kSinkQueuedMax;
    o.wake_items = SIZE_MAX;
    o.wake_weight = kWriteBackBytes / 4;
    sink_ = std::make_unique<WorkerQueue<std::vector<uint8_t>>>(
        o,
        [this](std::deque<std::vector<uint8_t>>& batch) {
          for (const auto& piece : batch) sink(piece.data(), piece.size());
        },
        [](const std::vector<uint8_t>& piece) { return piece.size(); });
    std::string why;
    if (!file_.fd || !sink_->start(&why)) sink_.reset();  // then the connection's thread does it
  }
  if (header_.compressed) zs_ready_ = tools.zs_ready && inflateReset(&zs_) == Z_OK;
}

UploadReceiver::~UploadReceiver() {
  sink_.reset();  // its thread is done with the temp file before it goes
  if (!committed_) store_.temp_remove(header_.digest, file_);
}

bool UploadReceiver::write_content(const uint8_t* data, size_t size, std::string* error) {
  if (content_ + size > header_.size) {
    *error = "content longer than the announced " + std::to_string(header_.size) + " bytes";
    return false;
  }
  content_ += size;
  if (in_memory_) {
    md5_.update(data, size);
    held_.insert(held_.end(), data, data + size);
    return true;
  }
  if (sink_) {
    if (sink_->push(std::vector<uint8_t>(data, data + size))) return true;
    *error = sink_failure();
    return false;
  }
  try {
    sink(data, size);
  } catch (const std::exception& e) {
    *error = e.what();
    return false;
  }
  return true;
}

void UploadReceiver::sink(const uint8_t* data, size_t size) {
  md5_.update(data, size);
  if (!file_.fd.write_all(data, size)) {
    std::string why = std::string("cannot write the upload: ") + std::strerror(errno);
    std::lock_guard<std::mutex> lock(sink_mu_);
    sink_error_ = why;
    throw std::runtime_error(why);
  }
  sunk_ += size;
  // A large segment goes to the disk while the rest of it comes, so that the sync before the
  // finalize does not wait for all of it (a catalog's arrives just before its finalize).
  if (store_.segment_sync() && sunk_ - written_back_ >= kWriteBackBytes) {
    ::sync_file_range(file_.fd.get(), static_cast<off_t>(written_back_),
                      static_cast<off_t>(sunk_ - written_back_), SYNC_FILE_RANGE_WRITE);
    written_back_ = sunk_;
  }
}

std::string UploadReceiver::sink_failure() {
  std::lock_guard<std::mutex> lock(sink_mu_);
  return sink_error_.empty() ? "the upload's writer thread failed" : sink_error_;
}

bool UploadReceiver::sink_finish(std::string* error) {
  if (!sink_) return true;
  const bool ok = sink_->flush();
  sink_.reset();
  if (!ok) *error = sink_failure();
  return ok;
}

bool UploadReceiver::feed(const uint8_t* data, size_t size, std::string* error) {
  if (failed_) {
    *error = "upload already failed";
    return false;
  }
  failed_ = true;  // until this piece is through
  if (!in_memory_ && !file_.fd) {
    *error = "cannot create a temp file in the store";
    return false;
  }
  if (received_ + size > header_.payload_size) {
    *error = "payload longer than the announced " + std::to_string(header_.payload_size) + " bytes";
    return false;
  }
  received_ += size;
  if (!header_.compressed) {
    if (!write_content(data, size, error)) return false;
    failed_ = false;
    return true;
  }
  if (!zs_ready_) {
    *error = "cannot set up decompression";
    return false;
  }
  if (zs_ended_ && size > 0) {
    *error = "bytes after the end of the compressed stream";
    return false;
  }
  zs_.next_in = const_cast<Bytef*>(data);
  zs_.avail_in = static_cast<uInt>(size);
  while (zs_.avail_in > 0 && !zs_ended_) {
    zs_.next_out = out_.data();
    zs_.avail_out = static_cast<uInt>(out_.size());
    int rc = inflate(&zs_, Z_NO_FLUSH);
    size_t produced = out_.size() - zs_.avail_out;
    if (produced && !write_content(out_.data(), produced, error)) return false;
    if (rc == Z_STREAM_END) {
      zs_ended_ = true;
    } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
      *error = std::string("payload does not inflate: ") + (zs_.msg ? zs_.msg : "zlib error");
      return false;
    }
  }
  if (zs_.avail_in > 0) {
    *error = "bytes after the end of the compressed stream";
    return false;
  }
  failed_ = false;
  return true;
}

bool UploadReceiver::finish(std::string* error) {
  if (failed_) {
    *error = "upload failed";
    return false;
  }
  if (!payload_complete()) {
    *error = "payload incomplete";
    return false;
  }
  if (header_.compressed) {
    // Drain whatever the inflater still holds back.
    while (!zs_ended_ && zs_ready_) {
      zs_.next_in = nullptr;
      zs_.avail_in = 0;
      zs_.next_out = out_.data();
      zs_.avail_out = static_cast<uInt>(out_.size());
      int rc = inflate(&zs_, Z_FINISH);
      size_t produced = out_.size() - zs_.avail_out;
      if (produced && !write_content(out_.data(), produced, error)) return false;
      if (rc == Z_STREAM_END) zs_ended_ = true;
      else if (produced == 0) break;
    }
    if (!zs_ended_) {
      *error = "compressed stream is truncated";
      return false;
    }
  }
  if (!sink_finish(error)) return false;
  if (content_ != header_.size) {
    *error = "content of " + std::to_string(content_) + " bytes, announced " +
             std::to_string(header_.size);
    return false;
  }
  Digest got = md5_.finish();
  if (got != header_.digest) {
    *error = "content MD5 " + digest_hex(got) + " is not the announced " +
             digest_hex(header_.digest);
    return false;
  }
  checked_ = true;
  if (in_memory_) return true;
  if (!store_.segment_commit(file_, header_.digest, header_.size)) {
    *error = std::string("cannot move the segment into the store: ") + std::strerror(errno);
    return false;
  }
  committed_ = true;
  return true;
}

std::vector<uint8_t> UploadReceiver::take_held() {
  committed_ = true;
  return std::move(held_);
}

}  // namespace vl::ref
