// The token store, `dir`/index/tokens: exactly one record of the following fields in the record
// encoding (little-endian varints, see storage/encoder.hpp), with nothing before or after it.
// There is no header, version or checksum; a file of length 0 is an empty store.
//   token_to_id  varint entry count; per entry the text (varint byte length, UTF-8 bytes) and
//                the id (varint); entries in no defined order (written in ascending id), a
//                repeated text keeps the later id
//   id_to_token  varint slot count; per slot 0 for a free slot, or 1 followed by the text
//   free_ids     varint count; the ids (varints), in the order they were freed
#include "inverted/token_hasher.hpp"

#include <algorithm>
#include <cstdio>
#include <system_error>

#include "storage/codec/encoder.hpp"
#include "utils/file.hpp"
#include "utils/lost_found.hpp"
#include "utils/mmap.hpp"
#include "utils/replace_file.hpp"
#include "utils/save_clock.hpp"

namespace tarnwick::inverted {

using utils::now_seconds;
using utils::save_is_due;

using utils::Access;
using utils::Clock;
using utils::fail;
using utils::File;
using utils::IoError;
using utils::Result;
using utils::Status;

namespace fs = std::filesystem;
using Error = BincodePersistenceError;

namespace {

// The changes file is kept while it is at most an eighth of the store, or this small: beyond, the
// store is written whole. Opening then reads at most an eighth more, and the store is written
// again each time the dictionary grows by an eighth.
constexpr uint64_t kChangesShare = 8;
constexpr uint64_t kMinChangesSize = uint64_t{64} << 10;

Error io_error(std::error_code code, const fs::path& path) {
  return {IoError::from_errno(code.value(), path)};
}

// The words of `store` in the order of the word list at `list_path`, when that list was made from
// it.
std::optional<StoredWords> read_with_list(std::shared_ptr<const utils::MappedFile> store,
                                          const fs::path& list_path) {
  auto list = utils::MappedFile::open(list_path);
  if (!list) return std::nullopt;
  return StoredWords::with_list(std::move(store),
                                std::make_shared<const utils::MappedFile>(std::move(*list)));
}

Status<Error> create_empty(const fs::path& path) {
  auto file = File::create(path);
  if (!file) return fail(Error{std::move(file.error())});
  return {};
}

// The words of the store as found on disk, created empty when missing by the writer; nothing
// when it does not decode. A word list made from the store gives their order; failing that, the
// store is read whole and sorted, and the writer saves its word list for the next opening.
Result<std::optional<StoredWords>, Error> read_store(const fs::path& index_dir,
                                                    const fs::path& path, Access access) {
  std::error_code code;
  const bool dir_exists = fs::exists(index_dir, code);
  if (code) return fail(io_error(code, index_dir));
  const bool path_exists = dir_exists && fs::exists(path, code);
  if (code) return fail(io_error(code, path));
  if (!path_exists) {
    if (access == Access::ReadOnly) return std::optional(StoredWords{});
    fs::create_directories(index_dir, code);
    if (code) return fail(io_error(code, index_dir));
    if (auto s = create_empty(path); !s) return fail(std::move(s.error()));
    return std::optional(StoredWords{});
  }
  // Read in place, from the mapping: saves replace the file by a rename, never shrink it.
  auto mapped = utils::MappedFile::open(path);
  if (!mapped) return fail(Error{std::move(mapped.error())});
  if (mapped->bytes().empty()) return std::optional(StoredWords{});
  auto store = std::make_shared<const utils::MappedFile>(std::move(*mapped));
  if (auto words = read_with_list(store, index_dir / kWordListFileName)) {
    return std::optional(std::move(*words));
  }
  auto words = StoredWords::decode(store);
  if (!words) {
    // The writer rebuilds the dictionary with the index; a reader goes on without it.
    std::printf("Warning tokens decode error: %s%s\n", words.error().to_string().c_str(),
                access == Access::ReadWrite ? "; rebuilding the index from the stored documents"
                                            : "");
    std::fflush(stdout);
    return std::optional<StoredWords>();
  }
  // Derived, so a list that cannot be written is only a slower opening next time.
  if (access == Access::ReadWrite &&
      utils::replace_file(index_dir / kWordListFileName, words->list_bytes())) {
    if (auto listed = read_with_list(store, index_dir / kWordListFileName)) {
      return std::optional(std::move(*listed));
    }
  }
  return std::optional(std::move(*words));
}

}  // namespace

EncodedStore encode_tokens_store(const Words& words, std::span<const uint32_t> free_ids) {
  EncodedStore store;
  storage::Encoder e(store.bytes);
  // Per slot, where its token_to_id entry begins.
  std::vector<uint32_t> entry_at(words.slot_count());
  e.varint(words.size());
  words.for_each_slot([&](uint32_t id, std::optional<std::string_view> token) {
    if (!token) return;
    entry_at[id] = static_cast<uint32_t>(store.bytes.size());
    e.string(*token);
    e.varint(id);
  });
  store.layout.id_to_token = store.bytes.size();
  store.layout.slot_count = words.slot_count();
  e.varint(words.slot_count());
  words.for_each_slot([&](uint32_t, std::optional<std::string_view> token) {
    e.u8(token.has_value());
    if (token) e.string(*token);
  });
  store.layout.free_ids = store.bytes.size();
  e.varint(free_ids.size());
  for (uint32_t id : free_ids) e.varint(id);
  const std::vector<uint32_t> ids = words.ids_in_order();
  store.sorted.reserve(ids.size());
  for (uint32_t id : ids) store.sorted.push_back(entry_at[id]);
  return store;
}

TokenHasher::TokenHasher(fs::path path, Words words, std::vector<uint32_t> free_ids,
                         std::shared_ptr<const Config> config, Clock clock, uint64_t now)
    : path_(std::move(path)),
      words_(std::move(words)),
      free_ids_(std::move(free_ids)),
      config_(std::move(config)),
      clock_(std::move(clock)),
      last_save_(now) {}

Result<TokenHasher, Error> TokenHasher::load(const fs::path& dir,
                                             std::shared_ptr<const Config> config, Clock clock,
                                             Access access) {
  const fs::path index_dir = dir / kIndexDirName;
  fs::path path = index_dir / kTokensFileName;
  auto store = read_store(index_dir, path, access);
  if (!store) return fail(std::move(store.error()));
  auto now = now_seconds(clock);
  if (!now) return fail(Error{ClockError{}});
  const bool damaged = !store->has_value();
  StoredWords stored = std::move(*store).value_or(StoredWords{});
  const StoreStamp stamp = stored.stamp();
  std::vector<uint32_t> free_ids = stored.free_ids();
  TokenHasher hasher(std::move(path), Words(std::move(stored)), std::move(free_ids),
                     std::move(config), std::move(clock), *now);
  hasher.damaged_ = damaged;
  hasher.store_ = stamp;
  // The changes of a store that cannot be read are set aside with it.
  if (damaged) return hasher;
  auto read = read_token_changes(hasher.changes_path(), stamp);
  if (!read) return fail(Error{std::move(read.error())});
  if (!*read) return hasher;
  bool applied = true;
  for (TokenChange& change : (*read)->changes) applied = hasher.replay(std::move(change)) && applied;
  hasher.changes_size_ = (*read)->read_size;
  if (!applied) {
    // Not what this dictionary wrote: the next save writes the store whole, as it stands.
    hasher.unsaved_ = true;
    hasher.changes_size_.reset();
  }
  if ((*read)->read_size < (*read)->file_size && access == Access::ReadWrite) {
    // A batch cut short by a crash, which no saved posting relies on: its save never returned.
    auto cut = utils::cut_keeping_tail(dir, hasher.changes_path(), (*read)->read_size);
    if (!cut) return fail(Error{std::move(cut.error())});
  }
  return hasher;
}

bool TokenHasher::replay(TokenChange change) {
  const uint32_t id = change.id;
  if (!change.word) {
    if (!words_.take(id)) return false;
    free_ids_.push_back(id);
    return true;
  }
  // Whether the word is one already is not looked for: that would read the store all over, at
  // every opening, for what the file's checksums and its naming of this very store vouch for.
  const uint64_t slots = words_.slot_count();
  if (id > slots) return false;
  if (id < slots) {
    // A free slot: the last one freed, as add takes them, unless the dictionary was trimmed.
    const auto freed = std::find(free_ids_.rbegin(), free_ids_.rend(), id);
    if (freed == free_ids_.rend()) return false;
    free_ids_.erase(std::next(freed).base());
  }
  words_.put(id, std::move(*change.word));
  return true;
}

Result<uint32_t, Error> TokenHasher::add(std::string_view token) {
  if (auto id = words_.find_remembering(token)) return *id;
  uint32_t id;
  if (!free_ids_.empty()) {
    id = free_ids_.back();
    free_ids_.pop_back();
  } else {
    id = static_cast<uint32_t>(words_.slot_count());
  }
  words_.put(id, std::string(token));
  unsaved_changes_.push_back({id, std::string(token)});
  if (auto s = count_change(); !s) return fail(std::move(s.error()));
  return id;
}

Result<std::optional<std::string>, Error> TokenHasher::delete_token(uint32_t id) {
  std::optional<std::string> token = words_.take(id);
  if (!token) return token;
  free_ids_.push_back(id);
  unsaved_changes_.push_back({id, std::nullopt});
  if (auto s = count_change(); !s) return fail(std::move(s.error()));
  return token;
}

bool TokenHasher::trim_free_tail() {
  const uint64_t before = words_.slot_count();
  words_.trim_free_tail();
  const uint64_t after = words_.slot_count();
  if (after == before) return false;
  std::erase_if(free_ids_, [&](uint32_t id) { return id >= after; });
  unsaved_ = true;
  // Not a change the changes file can hold: the next save writes the store whole.
  changes_size_.reset();
  return true;
}

Status<Error> TokenHasher::count_change() {
  unsaved_ = true;
  ++operations_;
  auto now = now_seconds(clock_);
  if (!now) return fail(Error{ClockError{}});
  if (operations_ < config_->index_save_after_operations &&
      !save_is_due(*now, last_save_, config_->index_save_after_seconds)) {
    return {};
  }
  operations_ = 0;
  last_save_ = *now;
  return flush();
}

// Durable when it returns: the changes, appended to the changes file and synced; or the store,
// replaced whole (utils::replace_file), after which the changes file is started afresh naming it.
// Until then the old changes file names the old store, and opening passes it over. The word list
// follows the store, derived: a list that cannot be written, or is lost, only leaves the next
// opening to sort the store itself; a changes file that cannot be started, only leaves the next
// save to write the store whole again.
Status<Error> TokenHasher::flush() {
  // The store on disk, with the changes after it, holds the dictionary as it is.
  if (!unsaved_ && (words_.saved() || changes_size_)) return {};
  if (unsaved_) {
    auto appended = append_changes();
    if (!appended) return fail(std::move(appended.error()));
    if (*appended) {
      unsaved_ = false;
      unsaved_changes_.clear();
      return {};
    }
  }
  return rewrite();
}

Result<bool, Error> TokenHasher::append_changes() {
  if (!changes_size_) return false;
  const std::string batch = encode_token_changes(unsaved_changes_);
  if (*changes_size_ + batch.size() > std::max(kMinChangesSize, store_.size / kChangesShare)) {
    return false;
  }
  auto appended = append_token_changes(changes_path(), *changes_size_, batch);
  // A batch that failed part way makes the file's size another than expected: the next save
  // writes the store whole, and opening cuts the torn batch off.
  if (!appended) return fail(Error{std::move(appended.error())});
  if (!*appended) {
    changes_size_.reset();
    return false;
  }
  *changes_size_ += batch.size();
  return true;
}

Status<Error> TokenHasher::rewrite() {
  const EncodedStore store = encode_tokens_store(words_, free_ids_);
  auto replaced = utils::replace_file(path_, store.bytes);
  if (!replaced) return fail(Error::rewriting(std::move(replaced.error())));
  unsaved_ = false;
  unsaved_changes_.clear();
  store_ = StoreStamp::of(utils::as_bytes(store.bytes));
  changes_size_.reset();
  if (start_token_changes(changes_path(), store_)) changes_size_ = kTokenChangesHeaderSize;
  const fs::path list_path = path_.parent_path() / kWordListFileName;
  if (!utils::replace_file(list_path, store.list_bytes())) return {};
  // Read back in place: what is left in memory is what changes from here on.
  auto mapped = utils::MappedFile::open(path_);
  if (!mapped) return {};
  auto saved = std::make_shared<const utils::MappedFile>(std::move(*mapped));
  if (auto words = read_with_list(saved, list_path)) words_.rebase(std::move(*words));
  return {};
}

fs::path TokenHasher::changes_path() const {
  return path_.parent_path() / kTokenChangesFileName;
}

void TokenHasher::for_each_token(
    absl::FunctionRef<void(std::string_view token, uint32_t id)> visit) const {
  words_.for_each_slot([&](uint32_t id, std::optional<std::string_view> token) {
    if (token) visit(*token, id);
  });
}

std::vector<std::optional<std::string>> TokenHasher::id_to_token() const {
  std::vector<std::optional<std::string>> slots;
  words_.for_each_slot([&](uint32_t, std::optional<std::string_view> token) {
    slots.emplace_back(token);
  });
  return slots;
}

}  // namespace tarnwick::inverted
