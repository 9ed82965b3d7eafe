// The writer of the index logs (log_format.hpp): a buffer of pending bytes that reaches both
// files in one append each per save, and the rule that decides when a save is due.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/config.hpp"
#include "base/error_kinds.hpp"
#include "inverted/log_format.hpp"
#include "inverted/token_hasher.hpp"
#include "utils/clock.hpp"
#include "utils/io_error.hpp"
#include "utils/result.hpp"

namespace tarnwick::inverted {

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
  // Whether bytes went to the logs since `synced` was last called.
  bool unsynced() const { return unsynced_; }
  void synced() { unsynced_ = false; }
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
  bool unsynced_ = false;
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
  const Config& config() const { return *config_; }
  const LogBuffer& buffer() const { return buffer_; }

  // Writes a Delete record. The record stays pending whatever happens; Clock or a save failure
  // is returned.
  Status write(uint128 doc_id, const LogHeader& header, inverted::TokenHasher& tokens);

  // The clock's reading, in whole seconds; Clock when it reads before the epoch.
  utils::Result<uint64_t, BincodePersistenceError> now() const;

  // After a record was appended: saves when the pending index-log bytes exceed
  // `index_buffer_size` or `index_save_after_seconds` have passed since the last save, by the
  // clock read now, or by `now`, read for several records at once.
  Status save_if_due(inverted::TokenHasher& tokens);
  Status save_if_due(inverted::TokenHasher& tokens, uint64_t now);

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

}  // namespace tarnwick::inverted
