// The reader of the index logs (log_format.hpp): both files mapped, the records read back newest
// first through the meta log.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "base/error_kinds.hpp"
#include "inverted/log_format.hpp"
#include "utils/mmap.hpp"
#include "utils/result.hpp"

namespace tarnwick::inverted {

// One record read back from the logs.
struct LogEntry {
  uint64_t record = 0;  // its number in the meta log, 0 for the oldest
  uint128 doc_id = 0;   // from the meta record
  LogHeader header;
  // Insert only: the decoded posting. `positions` views the reader's storage and stays valid
  // until the next call of next().
  uint128 posting_doc_id = 0;
  std::span<const uint32_t> positions;
};

// Reads both logs through read-only memory maps, from the last meta record to the first.
class LogsReader {
 public:
  using Error = LogReadError;

  // Maps `index_dir`/index and `index_dir`/meta; Io on failure.
  static utils::Result<LogsReader, Error> open(const std::filesystem::path& index_dir);

  // The next record, newest first, or nothing once the oldest has been read. An error ends the
  // reading.
  utils::Result<std::optional<LogEntry>, Error> next();

  // Record number `record` (0 for the oldest), for reading forward from a point. The entry's
  // positions stay valid until the next call of read or next.
  // REQUIRES: record < kept_meta_size() / kLogMetaSize.
  utils::Result<LogEntry, Error> read(uint64_t record);

  // The kept part of each log (below), and the directory both were mapped from.
  std::span<const uint8_t> kept_meta() const { return meta_.bytes().first(kept_meta_size_); }
  std::span<const uint8_t> kept_index() const { return index_.bytes().first(kept_index_size_); }
  const utils::File& directory() const { return directory_; }

  // The meta log's length in the records the reader reads. It leaves out a torn tail: a record
  // cut short by an interrupted append, and the whole records at the end that point past the end
  // of the index log, whose bytes a power loss took while it kept the meta log's later append.
  uint64_t kept_meta_size() const { return kept_meta_size_; }
  // The end of the last record read in the index log. Bytes past it are a save's index-log bytes
  // whose meta records never reached the disk, which nothing reads.
  uint64_t kept_index_size() const { return kept_index_size_; }
  uint64_t meta_size() const { return meta_.bytes().size(); }
  uint64_t index_size() const { return index_.bytes().size(); }

 private:
  LogsReader(utils::File directory, utils::MappedFile index, utils::MappedFile meta);

  utils::Status<Error> resolve(const LogMeta& meta, LogEntry& entry);
  utils::Status<Error> decode_posting(std::span<const uint8_t> body, LogEntry& entry);

  utils::File directory_;
  utils::MappedFile index_;
  utils::MappedFile meta_;
  uint64_t kept_meta_size_ = 0;
  uint64_t kept_index_size_ = 0;
  int64_t position_ = -1;  // of the next meta record to read; negative when done
  std::vector<uint32_t> positions_;
};

}  // namespace tarnwick::inverted
