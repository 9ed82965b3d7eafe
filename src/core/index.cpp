#include "core/index.hpp"

#include <unistd.h>

#include <cerrno>
#include <optional>
#include <system_error>

#include "storage/segment.hpp"
#include "utils/fileext.hpp"
#include "utils/save_clock.hpp"

namespace tarnwick::core {

namespace fs = std::filesystem;
using utils::fail;
using utils::IoError;
using Error = IndexManagerError;

namespace {

Error io_error(std::error_code code, const fs::path& path) {
  return {IoError::from_errno(code.value(), path)};
}

// Whether the directory and both logs were all there. If not, the writer creates both logs
// empty; a reader leaves them as they are.
utils::Result<bool, Error> prepare_files(const fs::path& index_dir, utils::Access access) {
  const fs::path logs[] = {index_dir / kIndexLogName, index_dir / kMetaLogName};
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
    auto file = utils::File::create(log);
    if (!file) return fail(Error{std::move(file.error())});
  }
  return false;
}

// The index, and the meta log's length in whole records.
struct Rebuilt {
  Index index;
  std::optional<uint64_t> cut_meta_to;  // set when the meta log ends in a record cut short
};

utils::Result<Rebuilt, Error> replay(const fs::path& index_dir) {
  auto reader = LogsReader::open(index_dir);
  if (!reader) return fail(Error{std::move(reader.error())});
  auto index = replay_logs(*reader);
  if (!index) return fail(Error{std::move(index.error())});
  Rebuilt out{std::move(*index), std::nullopt};
  if (reader->whole_meta_size() != reader->meta_size()) out.cut_meta_to = reader->whole_meta_size();
  return out;  // the mappings go here, before the meta log may be cut
}

}  // namespace

utils::Result<IndexManager, Error> IndexManager::load(const fs::path& dir,
                                                      std::shared_ptr<const Config> config,
                                                      utils::Clock clock, utils::Access access) {
  const fs::path index_dir = dir / utils::kIndexDirName;
  auto existed = prepare_files(index_dir, access);
  if (!existed) return fail(std::move(existed.error()));
  auto now = utils::now_seconds(clock);
  if (!now) return fail(Error{ClockError{}});
  if (!*existed) {
    return IndexManager(LogsManager(index_dir, std::move(config), std::move(clock), *now), {});
  }
  auto replayed = replay(index_dir);
  if (!replayed) return fail(std::move(replayed.error()));
  if (replayed->cut_meta_to && access == utils::Access::ReadWrite) {
    const fs::path meta_log = index_dir / kMetaLogName;
    if (::truncate(meta_log.c_str(), static_cast<off_t>(*replayed->cut_meta_to)) != 0) {
      return fail(Error{IoError::from_errno(errno, meta_log)});
    }
  }
  return IndexManager(LogsManager(index_dir, std::move(config), std::move(clock), *now),
                      std::move(replayed->index));
}

IndexManager::Status IndexManager::sync() const {
  for (const char* name : {kIndexLogName, kMetaLogName}) {
    if (auto s = storage::sync_path(logs_.buffer().index_dir() / name); !s) {
      return fail(BincodePersistenceError{std::move(s.error())});
    }
  }
  return {};
}

IndexManager::Status IndexManager::insert(uint32_t token_id, uint128 doc_id,
                                          std::span<const uint32_t> positions,
                                          utils::TokenHasher& tokens) {
  PostingList& list = index_[token_id];
  if (!list.append(doc_id, positions)) {
    return fail(BincodePersistenceError{storage::EncodeError(storage::EncodeUnexpectedEnd{})});
  }
  const LogHeader header{token_id, static_cast<uint32_t>(list.size()), LogOperation::Insert};
  logs_.buffer().append_insert(header, doc_id, positions);
  return logs_.save_if_due(tokens);
}

IndexManager::Status IndexManager::delete_postings(
    const TokenIdSet& token_ids, const storage::IdSet& doc_ids, utils::TokenHasher& tokens,
    absl::FunctionRef<void(const std::string&)> on_token_freed) {
  if (index_.empty()) return {};
  for (uint32_t token_id : token_ids) {
    auto it = index_.find(token_id);
    if (it == index_.end()) continue;
    PostingList& list = it->second;
    const size_t length = list.size();
    size_t removed = 0;
    std::optional<BincodePersistenceError> failure;
    list.remove_if([&doc_ids](uint128 doc_id) { return doc_ids.contains(doc_id); },
                   [&](uint128 doc_id) {
                     ++removed;
                     const LogHeader header{token_id, static_cast<uint32_t>(length - removed),
                                            LogOperation::Delete};
                     if (auto s = logs_.write(doc_id, header, tokens); !s) failure = std::move(s.error());
                   });
    if (list.empty()) {
      index_.erase(it);
      // The id is freed in memory even when saving the dictionary fails, so the trie follows
      // the dictionary either way.
      const auto& slots = tokens.id_to_token();
      std::optional<std::string> text = token_id < slots.size() ? slots[token_id] : std::nullopt;
      auto freed = tokens.delete_token(token_id);
      if (text) on_token_freed(*text);
      if (!freed) failure = std::move(freed.error());
    }
    if (failure) return fail(std::move(*failure));
  }
  return {};
}

const PostingList* IndexManager::postings(uint32_t token_id) const {
  auto it = index_.find(token_id);
  return it == index_.end() ? nullptr : &it->second;
}

}  // namespace tarnwick::core
