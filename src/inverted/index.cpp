#include "inverted/index.hpp"

#include <optional>
#include <system_error>

#include "inverted/compaction.hpp"
#include "inverted/snapshot.hpp"
#include "utils/file.hpp"
#include "utils/lost_found.hpp"
#include "utils/save_clock.hpp"

namespace tarnwick::inverted {

namespace fs = std::filesystem;
using utils::fail;
using utils::IoError;
using Error = IndexManagerError;

namespace {

Error io_error(std::error_code code, const fs::path& path) {
  return {IoError::from_errno(code.value(), path)};
}

// Whether the directory and both logs were all there. If not, the writer creates both logs
// empty, after setting aside (in lost+found) a log that holds bytes without its partner; a reader
// leaves them as they are.
utils::Result<bool, Error> prepare_files(const fs::path& dir, const fs::path& index_dir,
                                         utils::Access access) {
  const fs::path logs[] = {index_dir / kIndexLogName, index_dir / kIndexMetaLogName};
  std::error_code code;
  bool all_exist = fs::exists(index_dir, code);
  if (code) return fail(io_error(code, index_dir));
  for (const fs::path& log : logs) {
    if (all_exist) all_exist = fs::exists(log, code);
    if (code) return fail(io_error(code, log));
  }
  if (all_exist || access == utils::Access::ReadOnly) return all_exist;
  fs::create_directories(index_dir, code);
  if (code) return fail(io_error(code, index_dir));
  for (const fs::path& log : logs) {
    const auto size = fs::file_size(log, code);
    if (!code && size > 0) {
      if (auto s = utils::cut_keeping_tail(dir, log, 0); !s) return fail(Error{std::move(s.error())});
    }
    auto file = utils::File::create(log);
    if (!file) return fail(Error{std::move(file.error())});
  }
  return false;
}

// The lists, what the snapshot they were read from covers, and how much of each log they were
// read from.
struct Rebuilt {
  LayeredIndex index;
  IndexTotals totals;
  LogsStamp covered;
  uint64_t meta_size, kept_meta_size;
  uint64_t index_size, kept_index_size;
};

// Every list from the logs of `index_dir` alone: what a snapshot that fails a check gives way to.
LayeredIndex::Replay replay_of(const fs::path& index_dir) {
  return [index_dir]() -> utils::Result<Index, LogReadError> {
    auto reader = LogsReader::open(index_dir);
    if (!reader) return fail(std::move(reader.error()));
    return replay_logs(*reader);
  };
}

// From the snapshot and the records after it when the snapshot is there, whole and in step with
// the logs; otherwise from all the records.
utils::Result<Rebuilt, Error> replay(const fs::path& index_dir) {
  auto reader = LogsReader::open(index_dir);
  if (!reader) return fail(Error{std::move(reader.error())});
  Rebuilt read{{}, {}, {}, reader->meta_size(), reader->kept_meta_size(),
               reader->index_size(), reader->kept_index_size()};
  auto snapshot = read_snapshot(reader->directory(), reader->kept_meta(), reader->kept_index());
  if (snapshot && snapshot->stamp().meta_size % kLogMetaSize == 0) {
    const LogsStamp stamp = snapshot->stamp();
    IndexTotals totals = snapshot->totals();
    // A list failing its check meanwhile leaves the index damaged, and the logs are replayed.
    LayeredIndex index(std::move(*snapshot));
    if (replay_tail(*reader, stamp.meta_size / kLogMetaSize, index, totals) && !index.damaged()) {
      index.set_replay(replay_of(index_dir));
      read.index = std::move(index);
      read.totals = totals;
      read.covered = stamp;
      return read;
    }
  }
  auto index = replay_logs(*reader);
  if (!index) return fail(Error{std::move(index.error())});
  // The log mappings go when this returns, before a log may be cut.
  read.totals = IndexTotals::of(*index);
  read.index = LayeredIndex(std::move(*index));
  return read;
}

// Cuts each log back to what was read, the torn tails going to lost+found: the meta log first,
// so that no meta record is left pointing past the index log at any moment.
utils::Status<Error> cut_torn_tails(const fs::path& dir, const fs::path& index_dir,
                                    const Rebuilt& read) {
  if (read.kept_meta_size < read.meta_size) {
    auto s = utils::cut_keeping_tail(dir, index_dir / kIndexMetaLogName, read.kept_meta_size);
    if (!s) return fail(Error{std::move(s.error())});
  }
  if (read.kept_index_size < read.index_size) {
    auto s = utils::cut_keeping_tail(dir, index_dir / kIndexLogName, read.kept_index_size);
    if (!s) return fail(Error{std::move(s.error())});
  }
  return {};
}

}  // namespace

utils::Result<IndexManager, Error> IndexManager::load(const fs::path& dir,
                                                      std::shared_ptr<const Config> config,
                                                      utils::Clock clock, utils::Access access) {
  const fs::path index_dir = dir / inverted::kIndexDirName;
  auto existed = prepare_files(dir, index_dir, access);
  if (!existed) return fail(std::move(existed.error()));
  auto now = utils::now_seconds(clock);
  if (!now) return fail(Error{ClockError{}});
  if (!*existed) {
    return IndexManager(LogsManager(index_dir, std::move(config), std::move(clock), *now), {});
  }
  auto replayed = replay(index_dir);
  if (!replayed) return fail(std::move(replayed.error()));
  if (access == utils::Access::ReadWrite) {
    if (auto s = cut_torn_tails(dir, index_dir, *replayed); !s) return fail(std::move(s.error()));
  }
  IndexManager manager(LogsManager(index_dir, std::move(config), std::move(clock), *now),
                       std::move(replayed->index));
  manager.totals_ = replayed->totals;
  manager.covered_ = replayed->covered;
  return manager;
}

bool IndexManager::snapshot_due() const {
  // The meta log's size alone tells.
  std::error_code code;
  const uint64_t meta_size =
      fs::file_size(logs_.buffer().index_dir() / kIndexMetaLogName, code);
  if (code) return false;
  const uint64_t tail = meta_size - std::min(meta_size, covered_.meta_size);
  return tail >= kSnapshotMinTail &&
         (tail >= covered_.meta_size / kSnapshotTailShare || tail >= kSnapshotMaxTail);
}

bool IndexManager::write_snapshot() {
  const fs::path& index_dir = logs_.buffer().index_dir();
  auto directory = utils::File::open_directory(index_dir);
  if (!directory) return false;
  // Only the ends of each log are read, for the stamp.
  constexpr auto kOnDemand = utils::MappedFile::Pages::OnDemand;
  auto meta = utils::MappedFile::open_at(*directory, kIndexMetaLogName, kOnDemand);
  auto index = utils::MappedFile::open_at(*directory, kIndexLogName, kOnDemand);
  if (!meta || !index) return false;
  const LogsStamp stamp = LogsStamp::of(meta->bytes(), meta->bytes().size(), index->bytes(),
                                        index->bytes().size());
  // A snapshot that cannot be written costs the next opening time, nothing else: the logs hold
  // everything, and the next flush tries again.
  const DocumentLengths lengths = [this](uint128 id, size_t& cursor) {
    const auto noted = noted_lengths_.find(id);
    return noted != noted_lengths_.end() ? noted->second : lengths_(id, cursor);
  };
  if (!inverted::write_snapshot(index_dir, index_.snapshot_lists(lengths), totals_, stamp, index_.file())) {
    return false;
  }
  noted_lengths_.clear();
  covered_ = stamp;
  // The lists are read from the new snapshot from now on, and those in memory go.
  if (auto snapshot = read_snapshot(*directory, meta->bytes(), index->bytes())) {
    index_ = LayeredIndex(std::move(*snapshot));
    index_.set_replay(replay_of(index_dir));
  }
  count_owned();
  return true;
}

bool IndexManager::owned_over(uint64_t budget) {
  if (owned_ <= budget && index_.logs_reads() == counted_logs_reads_) {
    return false;
  }
  return count_owned() > budget;
}

uint64_t IndexManager::count_owned() {
  owned_ = index_.owned_bytes();
  counted_logs_reads_ = index_.logs_reads();
  return owned_;
}

IndexManager::Status IndexManager::sync() {
  if (!logs_.buffer().unsynced()) return {};
  for (const char* name : {kIndexLogName, kIndexMetaLogName}) {
    if (auto s = utils::sync_path(logs_.buffer().index_dir() / name); !s) {
      return fail(BincodePersistenceError{std::move(s.error())});
    }
  }
  logs_.buffer().synced();
  return {};
}

IndexManager::Status IndexManager::insert(uint32_t token_id, uint128 doc_id,
                                          std::span<const uint32_t> positions,
                                          inverted::TokenHasher& tokens, const Now& now) {
  PostingList& list = *index_.change(token_id, true);
  const size_t owned = list.owned_bytes();
  if (!list.insert(doc_id, positions)) {
    return fail(BincodePersistenceError{storage::EncodeError(storage::EncodeUnexpectedEnd{})});
  }
  owned_grew(owned, list.owned_bytes());
  totals_.add(doc_id, token_id);
  const LogHeader header{token_id, static_cast<uint32_t>(list.size()), LogOperation::Insert};
  logs_.buffer().append_insert(header, doc_id, positions);
  if (!now) return fail(now.error());
  if (auto s = logs_.save_if_due(tokens, *now); !s) return s;
  if (!logs_.buffer().empty()) return {};
  // Saved just now (the token store first), the logs hold every change, as a snapshot needs.
  const uint64_t budget = buffers(logs_.config().index_buffer_size, kOwnedListsBuffers);
  if (owned_over(budget)) {
    write_snapshot();
  } else {
    // Queries, and changes that copy a list (deletions, documents indexed again), read pages of
    // the snapshot: they go back at each save, or they would pile up in a long-running writer.
    index_.release_pages();
  }
  return {};
}

IndexManager::Status IndexManager::delete_postings(
    const TokenIdSet& token_ids, const utils::IdSet& doc_ids, inverted::TokenHasher& tokens,
    absl::FunctionRef<void(const std::string&)> on_token_freed) {
  if (index_.empty()) return {};
  for (uint32_t token_id : token_ids) {
    PostingList* changing = index_.change(token_id, false);
    if (changing == nullptr) continue;
    PostingList& list = *changing;
    const size_t length = list.size();
    const size_t owned = list.owned_bytes();
    size_t removed = 0;
    std::optional<BincodePersistenceError> failure;
    list.remove_if([&doc_ids](uint128 doc_id) { return doc_ids.contains(doc_id); },
                   [&](uint128 doc_id) {
                     ++removed;
                     totals_.remove(doc_id, token_id);
                     const LogHeader header{token_id, static_cast<uint32_t>(length - removed),
                                            LogOperation::Delete};
                     if (auto s = logs_.write(doc_id, header, tokens); !s) failure = std::move(s.error());
                   });
    owned_grew(owned, list.owned_bytes());
    if (list.empty()) {
      index_.erase(token_id);
      // The id is freed in memory even when saving the dictionary fails, so the trie follows
      // the dictionary either way.
      std::optional<std::string> text(tokens.token(token_id));
      auto freed = tokens.delete_token(token_id);
      if (text) on_token_freed(*text);
      if (!freed) failure = std::move(freed.error());
    }
    if (failure) return fail(std::move(*failure));
  }
  return {};
}

IndexManager::Status IndexManager::compact_if_due(const inverted::TokenHasher& tokens,
                                                  double dead_ratio) {
  const fs::path& index_dir = logs_.buffer().index_dir();
  std::error_code code;
  const uint64_t records = fs::file_size(index_dir / kIndexMetaLogName, code) / kLogMetaSize;
  if (code) return fail(BincodePersistenceError{IoError::from_errno(code.value(), index_dir)});
  const uint64_t postings = index_.posting_count();
  if (records <= postings ||
      static_cast<double>(records - postings) < dead_ratio * static_cast<double>(records)) {
    return {};
  }
  if (auto s = compact_index(index_dir.parent_path(), index_, tokens); !s) return s;
  // The new directory has no snapshot; the lists keep borrowing from the old one's mapping.
  covered_ = {};
  return {};
}

}  // namespace tarnwick::inverted
