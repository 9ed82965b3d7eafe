#include "inverted/log_reader.hpp"

#include "storage/codec/corruption.hpp"
#include "storage/codec/decoder.hpp"
#include "utils/file.hpp"

namespace tarnwick::inverted {

using utils::fail;

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
  // Read on demand: past a snapshot (snapshot.hpp) only the records after it are read.
  auto meta = utils::MappedFile::open_at(*directory, kIndexMetaLogName,
                                         utils::MappedFile::Pages::OnDemand);
  if (!meta) {
    return fail(LogReadError{std::move(meta.error()).with_path(index_dir / kIndexMetaLogName)});
  }
  auto index = utils::MappedFile::open_at(*directory, kIndexLogName,
                                          utils::MappedFile::Pages::OnDemand);
  if (!index) {
    return fail(LogReadError{std::move(index.error()).with_path(index_dir / kIndexLogName)});
  }
  return LogsReader(std::move(*directory), std::move(*index), std::move(*meta));
}

utils::Result<std::optional<LogEntry>, LogReadError> LogsReader::next() {
  if (position_ < 0) return std::optional<LogEntry>();
  const auto record = static_cast<uint64_t>(position_) / kLogMetaSize;
  position_ -= static_cast<int64_t>(kLogMetaSize);
  auto entry = read(record);
  if (!entry) return fail(std::move(entry.error()));
  return std::optional<LogEntry>(*entry);
}

utils::Result<LogEntry, LogReadError> LogsReader::read(uint64_t record) {
  const LogMeta meta = LogMeta::decode(meta_.bytes().data() + record * kLogMetaSize);
  LogEntry entry;
  entry.record = record;
  entry.doc_id = meta.doc_id;
  if (auto s = resolve(meta, entry); !s) return fail(std::move(s.error()));
  return entry;
}

LogsReader::LogsReader(utils::File directory, utils::MappedFile index, utils::MappedFile meta)
    : directory_(std::move(directory)), index_(std::move(index)), meta_(std::move(meta)) {
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
