#include "inverted/log_writer.hpp"

#include "storage/codec/encoder.hpp"
#include "utils/file.hpp"
#include "utils/save_clock.hpp"

namespace tarnwick::inverted {

using utils::fail;
using utils::IoError;
using Status = utils::Status<IoError>;

void LogBuffer::append_insert(const LogHeader& header, uint128 doc_id,
                           std::span<const uint32_t> positions) {
  // Written in place, then cut to what it took: one growth of the buffer a record rather than
  // one a field. Each varint is given kMaxVarintSize bytes of room from where it starts, which
  // the id's takes at most, the count's and each position's at most kMaxVarint32Size.
  const uint64_t start = logs_.size();
  logs_.resize(start + kLogHeaderSize + 2 * storage::kMaxVarintSize +
               positions.size() * storage::kMaxVarint32Size);
  uint8_t* const begin = reinterpret_cast<uint8_t*>(logs_.data() + start);
  uint8_t* out = header.encode_to(begin);
  out += storage::put_varint(out, doc_id);
  out += storage::put_varint(out, positions.size());
  for (uint32_t position : positions) out += storage::put_varint(out, position);
  const auto size = static_cast<uint32_t>(out - begin);
  logs_.resize(start + size);
  records_.push_back({doc_id, start, size});
}

void LogBuffer::append_delete(const LogHeader& header, uint128 doc_id) {
  records_.push_back({doc_id, logs_.size(), kLogHeaderSize});
  header.encode_into_vec(logs_);
}

Status LogBuffer::flush() {
  // Even a failed append may have left bytes in a log.
  unsynced_ = unsynced_ || !empty();
  if (auto s = append_logs(); !s) return s;
  return append_meta();
}

Status LogBuffer::append_logs() {
  auto file = utils::File::open_append(index_dir_ / kIndexLogName);
  if (!file) return fail(std::move(file.error()));
  auto size = file->size();
  if (!size) return fail(std::move(size.error()));
  // Where logs_[0] lies (or will lie) in the file.
  const uint64_t base = *size - logs_written_;
  size_t written = 0;
  auto s = file->write_all(utils::as_bytes(logs_).subspan(logs_written_), &written);
  if (!s) {
    logs_written_ += written;
    return s;
  }
  for (const PendingRecord& r : records_) {
    LogMeta{r.doc_id, base + r.start, r.length}.encode_into_vec(meta_);
  }
  logs_.clear();
  records_.clear();
  logs_written_ = 0;
  return {};
}

Status LogBuffer::append_meta() {
  auto file = utils::File::open_append(index_dir_ / kIndexMetaLogName);
  if (!file) return fail(std::move(file.error()));
  size_t written = 0;
  auto s = file->write_all(utils::as_bytes(meta_).subspan(meta_written_), &written);
  if (!s) {
    meta_written_ += written;
    return s;
  }
  meta_.clear();
  meta_written_ = 0;
  return {};
}

LogsManager::Status LogsManager::write(uint128 doc_id, const LogHeader& header,
                                       inverted::TokenHasher& tokens) {
  buffer_.append_delete(header, doc_id);
  return save_if_due(tokens);
}

utils::Result<uint64_t, BincodePersistenceError> LogsManager::now() const {
  auto now = utils::now_seconds(clock_);
  if (!now) return fail(BincodePersistenceError{ClockError{}});
  return *now;
}

LogsManager::Status LogsManager::save_if_due(inverted::TokenHasher& tokens) {
  auto now = this->now();
  if (!now) return fail(std::move(now.error()));
  return save_if_due(tokens, *now);
}

LogsManager::Status LogsManager::save_if_due(inverted::TokenHasher& tokens, uint64_t now) {
  if (buffer_.pending_log_bytes() <= config_->index_buffer_size &&
      !utils::save_is_due(now, last_save_, config_->index_save_after_seconds)) {
    return {};
  }
  last_save_ = now;
  return flush(tokens);
}

LogsManager::Status LogsManager::flush(inverted::TokenHasher& tokens) {
  if (tokens.has_unsaved_changes()) {
    if (auto s = tokens.flush(); !s) return s;
  }
  if (auto s = buffer_.flush(); !s) return fail(BincodePersistenceError{std::move(s.error())});
  return {};
}

}  // namespace tarnwick::inverted
