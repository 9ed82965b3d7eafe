// The two append-only logs that keep the inverted index on disk, in `dir`/index:
//   the index log, one record per change of a posting list (a LogHeader, then for an insert the
//   encoded posting), and
//   the meta log, one fixed-size LogMeta per index-log record, in the same order, saying which
//   document the record concerns and where it lies in the index log.
// The meta log is the table of contents: the reader walks it from its end and reads from the
// index log only what the meta records point at. Byte layouts are at the top of index_logs.cpp.
//
// Writing goes through a LogBuffer of pending bytes that reaches both files in one append each per
// save; LogsManager decides when a save is due. LogsReader reads the records back, newest first.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/config.hpp"
#include "inverted/log_format.hpp"
#include "base/error_kinds.hpp"
#include "utils/clock.hpp"
#include "inverted/token_hasher.hpp"
#include "utils/io_error.hpp"
#include "utils/mmap.hpp"
#include "utils/result.hpp"

namespace tarnwick::inverted {

struct LogHeader {
  uint32_t token_id = 0;
  uint32_t count = 0;  // the posting list's length after the operation
  LogOperation operation = LogOperation::Delete;

  // Appends exactly kLogHeaderSize bytes.
  void encode_into_vec(std::string& out) const;
};

struct LogMeta {
  uint128 doc_id = 0;
  uint64_t offset = 0;  // of the record's header in the index log
  uint32_t length = 0;  // of the whole record

  // Appends exactly kLogMetaSize bytes.
  void encode_into_vec(std::string& out) const;
  // REQUIRES: `bytes` holds at least kLogMetaSize bytes.
  static LogMeta decode(const uint8_t* bytes);
};

// The log bytes not yet appended to the files.
//
// Invariant: the index log on disk followed by logs_[logs_written_..] is what the index log is
// meant to hold, and likewise for the meta log and meta_[meta_written_..]. A record's place in
// the index log is fixed only when a flush appends it (its offset is the file's size at that
// moment plus its place in `logs_`), so a failed or partial flush never leaves a meta record
// pointing at the wrong bytes, and appending a record cannot fail.
class LogBuffer {
 public:
  explicit LogBuffer(std::filesystem::path index_dir) : index_dir_(std::move(index_dir)) {}

  // An Insert record: the header, then the posting (doc_id, positions) in the record encoding.
  void append_insert(const LogHeader& header, uint128 doc_id, std::span<const uint32_t> positions);
  // A Delete record: the header alone.
  void append_delete(const LogHeader& header, uint128 doc_id);

  // Index-log bytes not yet on disk; only these count against `index_buffer_size`.
  uint64_t pending_log_bytes() const { return logs_.size() - logs_written_; }
  bool empty() const { return logs_.empty() && meta_.empty(); }
  const std::filesystem::path& index_dir() const { return index_dir_; }

  // Appends the pending index-log bytes, then the meta records, each file opened for appending
  // without create. On failure what reached a file is remembered, so the next flush appends only
  // the rest and every meta record still points at its own record.
  utils::Status<utils::IoError> flush();

 private:
  struct PendingRecord {
    uint128 doc_id;
    uint64_t start;  // in logs_
    uint32_t length;
  };

  utils::Status<utils::IoError> append_logs();
  utils::Status<utils::IoError> append_meta();

  std::filesystem::path index_dir_;
  std::string logs_;
  uint64_t logs_written_ = 0;  // leading bytes of logs_ already in the index log
  std::vector<PendingRecord> records_;  // the records of logs_, in order
  std::string meta_;           // meta records whose index-log bytes are all on disk
  uint64_t meta_written_ = 0;  // leading bytes of meta_ already in the meta log
};

// The log writer: the LogBuffer and the rule that decides when it is saved.
class LogsManager {
 public:
  using Status = utils::Status<BincodePersistenceError>;

  LogsManager(std::filesystem::path index_dir, std::shared_ptr<const Config> config,
              utils::Clock clock, uint64_t now)
      : buffer_(std::move(index_dir)),
        config_(std::move(config)),
        clock_(std::move(clock)),
        last_save_(now) {}

  LogBuffer& buffer() { return buffer_; }
  const LogBuffer& buffer() const { return buffer_; }

  // Writes a Delete record. The record stays pending whatever happens; Clock or a save failure
  // is returned.
  Status write(uint128 doc_id, const LogHeader& header, inverted::TokenHasher& tokens);

  // After a record was appended: saves when the pending index-log bytes exceed
  // `index_buffer_size` or `index_save_after_seconds` have passed since the last save.
  Status save_if_due(inverted::TokenHasher& tokens);

  // Saves the token store first when it has unsaved changes, so that every token id in the saved
  // logs is in the saved dictionary, then the LogBuffer. A failed token store save leaves the log
  // bytes pending.
  Status flush(inverted::TokenHasher& tokens);

 private:
  LogBuffer buffer_;
  std::shared_ptr<const Config> config_;
  utils::Clock clock_;
  uint64_t last_save_;
};

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
  LogsReader(utils::MappedFile index, utils::MappedFile meta);

  utils::Status<Error> resolve(const LogMeta& meta, LogEntry& entry);
  utils::Status<Error> decode_posting(std::span<const uint8_t> body, LogEntry& entry);

  utils::MappedFile index_;
  utils::MappedFile meta_;
  uint64_t kept_meta_size_ = 0;
  uint64_t kept_index_size_ = 0;
  int64_t position_ = -1;  // of the next meta record to read; negative when done
  std::vector<uint32_t> positions_;
};

}  // namespace tarnwick::inverted
