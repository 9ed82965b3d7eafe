// The index log, `dir`/index/index: records end to end in the order written; no file header,
// version or checksum.
//   Insert record
//     offset 0, 1 byte    operation: 1
//     offset 1, 4 bytes   token_id, unsigned big-endian
//     offset 5, 4 bytes   count: the token's posting-list length after the insert, big-endian
//     offset 9, the rest  the posting in the record encoding (little-endian varints, see
//                         storage/encoder.hpp): doc_id (u128), the number of positions, then
//                         each position (u32)
//   Delete record: the same 9-byte header with operation 0 and count the length after the
//     removal; nothing follows.
// Bytes that no meta record points at (left by a save stopped between the two files) are ignored.
//
// The meta log, `dir`/index/meta: one 28-byte record per index-log record, in the same order.
//     offset 0, 16 bytes  doc_id, unsigned big-endian
//     offset 16, 8 bytes  offset of the record's header in the index log, unsigned big-endian
//     offset 24, 4 bytes  length of the whole record (9 for a Delete), unsigned big-endian
// A length that is not a multiple of 28 ends in a record cut short by an interrupted append, and
// whole records at the end that point past the end of the index log were appended after index-log
// bytes that a power loss did not keep: both are skipped (and cut off when the index loads).
#include "inverted/logs.hpp"

#include "storage/codec/decoder.hpp"
#include "storage/codec/encoder.hpp"
#include "storage/codec/corruption.hpp"
#include "utils/file.hpp"
#include "utils/save_clock.hpp"

namespace tarnwick::inverted {

using utils::fail;
using utils::IoError;
using Status = utils::Status<IoError>;

void LogHeader::encode_into_vec(std::string& out) const {
  uint8_t bytes[kLogHeaderSize];
  bytes[0] = static_cast<uint8_t>(operation);
  put_be(bytes + 1, token_id, 4);
  put_be(bytes + 5, count, 4);
  out.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

void LogMeta::encode_into_vec(std::string& out) const {
  uint8_t bytes[kLogMetaSize];
  put_be(bytes, doc_id, 16);
  put_be(bytes + 16, offset, 8);
  put_be(bytes + 24, length, 4);
  out.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

LogMeta LogMeta::decode(const uint8_t* bytes) {
  return {get_be<uint128>(bytes), get_be<uint64_t>(bytes + 16), get_be<uint32_t>(bytes + 24)};
}

void LogBuffer::append_insert(const LogHeader& header, uint128 doc_id,
                           std::span<const uint32_t> positions) {
  size_t body = storage::varint_size(doc_id) + storage::varint_size(positions.size());
  for (uint32_t position : positions) body += storage::varint_size(position);
  const uint64_t start = logs_.size();
  logs_.reserve(start + kLogHeaderSize + body);
  header.encode_into_vec(logs_);
  storage::Encoder e(logs_);
  e.varint(doc_id);
  e.varint(positions.size());
  for (uint32_t position : positions) e.varint(position);
  records_.push_back({doc_id, start, static_cast<uint32_t>(logs_.size() - start)});
}

void LogBuffer::append_delete(const LogHeader& header, uint128 doc_id) {
  records_.push_back({doc_id, logs_.size(), kLogHeaderSize});
  header.encode_into_vec(logs_);
}

Status LogBuffer::flush() {
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

LogsManager::Status LogsManager::save_if_due(inverted::TokenHasher& tokens) {
  auto now = utils::now_seconds(clock_);
  if (!now) return fail(BincodePersistenceError{ClockError{}});
  if (buffer_.pending_log_bytes() <= config_->index_buffer_size &&
      !utils::save_is_due(*now, last_save_, config_->index_save_after_seconds)) {
    return {};
  }
  last_save_ = *now;
  return flush(tokens);
}

LogsManager::Status LogsManager::flush(inverted::TokenHasher& tokens) {
  if (tokens.has_unsaved_changes()) {
    if (auto s = tokens.flush(); !s) return s;
  }
  if (auto s = buffer_.flush(); !s) return fail(BincodePersistenceError{std::move(s.error())});
  return {};
}

namespace {

LogReadError outside(uint64_t record) {
  return {storage::corrupt_data("meta record " + std::to_string(record) +
                              " points outside the index log")};
}

}  // namespace

utils::Result<LogsReader, LogReadError> LogsReader::open(const std::filesystem::path& index_dir) {
  // Both logs come from the one directory opened here, even when a compaction puts another
  // directory in its place meanwhile (index_compaction.hpp): a meta log of one directory never
  // meets the index log of another. A removed directory's files stay readable through their
  // mappings.
  auto directory = utils::File::open_directory(index_dir);
  if (!directory) return fail(LogReadError{std::move(directory.error())});
  // The meta log first: a writer appends the index log before the meta records that point into
  // it, so the index log mapped after them holds every record they name, even while a writer
  // appends to both.
  auto meta = utils::MappedFile::open_at(*directory, kIndexMetaLogName);
  if (!meta) {
    return fail(LogReadError{std::move(meta.error()).with_path(index_dir / kIndexMetaLogName)});
  }
  auto index = utils::MappedFile::open_at(*directory, kIndexLogName);
  if (!index) {
    return fail(LogReadError{std::move(index.error()).with_path(index_dir / kIndexLogName)});
  }
  return LogsReader(std::move(*index), std::move(*meta));
}

utils::Result<std::optional<LogEntry>, LogReadError> LogsReader::next() {
  if (position_ < 0) return std::optional<LogEntry>();
  const LogMeta meta = LogMeta::decode(meta_.bytes().data() + position_);
  LogEntry entry;
  entry.record = static_cast<uint64_t>(position_) / kLogMetaSize;
  entry.doc_id = meta.doc_id;
  position_ -= static_cast<int64_t>(kLogMetaSize);
  if (auto s = resolve(meta, entry); !s) return fail(std::move(s.error()));
  return std::optional<LogEntry>(entry);
}

LogsReader::LogsReader(utils::MappedFile index, utils::MappedFile meta)
    : index_(std::move(index)), meta_(std::move(meta)) {
  const uint64_t index_size = index_.bytes().size();
  uint64_t records = meta_.bytes().size() / kLogMetaSize;
  for (; records > 0; --records) {
    const LogMeta last = LogMeta::decode(meta_.bytes().data() + (records - 1) * kLogMetaSize);
    if (last.offset <= index_size && last.length <= index_size - last.offset) {
      kept_index_size_ = last.offset + last.length;
      break;
    }
  }
  kept_meta_size_ = records * kLogMetaSize;
  position_ = static_cast<int64_t>(kept_meta_size_) - static_cast<int64_t>(kLogMetaSize);
}

utils::Status<LogReadError> LogsReader::resolve(const LogMeta& meta, LogEntry& entry) {
  const auto index = index_.bytes();
  if (meta.length == 0 || meta.offset >= index.size()) return fail(outside(entry.record));
  const uint8_t* header = index.data() + meta.offset;
  const uint8_t operation = header[0];
  if (operation == static_cast<uint8_t>(LogOperation::Delete)) {
    if (meta.length != kLogHeaderSize) return fail(LogReadError{TryFromSliceError{}});
  } else if (operation != static_cast<uint8_t>(LogOperation::Insert)) {
    return fail(LogReadError{UnknownLogOperationError{operation}});
  }
  if (meta.length > index.size() - meta.offset) return fail(outside(entry.record));
  if (meta.length < kLogHeaderSize) {
    return fail(LogReadError{storage::corrupt_data(
        "index record " + std::to_string(entry.record) + " is shorter than its header")});
  }
  entry.header = {get_be<uint32_t>(header + 1), get_be<uint32_t>(header + 5),
                  static_cast<LogOperation>(operation)};
  if (entry.header.operation == LogOperation::Delete) return {};
  return decode_posting(index.subspan(meta.offset + kLogHeaderSize, meta.length - kLogHeaderSize),
                        entry);
}

utils::Status<LogReadError> LogsReader::decode_posting(std::span<const uint8_t> body,
                                                       LogEntry& entry) {
  storage::SliceDecoder d{storage::SliceSource(body)};
  auto doc_id = d.u128();
  if (!doc_id) return fail(LogReadError{std::move(doc_id.error())});
  auto count = d.length();
  if (!count) return fail(LogReadError{std::move(count.error())});
  positions_.clear();
  // Every position takes at least one byte, so the body bounds what a count may reserve.
  positions_.reserve(std::min<uint64_t>(*count, d.source().remaining()));
  for (uint64_t i = 0; i < *count; ++i) {
    auto position = d.u32();
    if (!position) return fail(LogReadError{std::move(position.error())});
    positions_.push_back(*position);
  }
  entry.posting_doc_id = *doc_id;
  entry.positions = positions_;
  return {};
}

}  // namespace tarnwick::inverted
