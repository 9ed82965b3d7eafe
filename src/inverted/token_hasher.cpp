// The token store, `dir`/index/tokens: exactly one record of the following fields in the record
// encoding (little-endian varints, see storage/encoder.hpp), with nothing before or after it.
// There is no header, version or checksum; a file of length 0 is an empty store.
//   token_to_id  varint entry count; per entry the text (varint byte length, UTF-8 bytes) and
//                the id (varint); entries in no defined order (written in ascending id), a
//                repeated text keeps the later id
//   id_to_token  varint slot count; per slot 0 for a free slot, or 1 followed by the text
//   free_ids     varint count; the ids (varints), in the order they were freed
#include "inverted/token_hasher.hpp"

#include <cstdio>
#include <system_error>

#include "storage/codec/decoder.hpp"
#include "storage/codec/encoder.hpp"
#include "storage/codec/corruption.hpp"
#include "utils/file.hpp"
#include "utils/mmap.hpp"
#include "utils/replace_file.hpp"
#include "utils/save_clock.hpp"

namespace tarnwick::inverted {

using storage::corrupt_data;
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
using storage::DecodeError;
using storage::WholeFileDecoder;

namespace {

Error io_error(std::error_code code, const fs::path& path) {
  return {IoError::from_errno(code.value(), path)};
}

// The dictionary as the store holds it.
struct Decoded {
  Words words;
  std::vector<uint32_t> free_ids;
};

// The store's fields must agree with each other: add and delete_token index the slots by the ids
// found in free_ids, so a store that breaks the invariants is refused rather than trusted. The
// token_to_id entries say again what the slots say (a repeated text keeps the later id).
storage::DecodeResult<Decoded> decode_store(std::span<const uint8_t> bytes) {
  WholeFileDecoder d{storage::WholeFileSource(bytes)};
  auto count = d.length();
  if (!count) return fail(std::move(count.error()));
  // The texts stay in the file's bytes: the slots hold the copies kept.
  std::vector<std::pair<std::string_view, uint32_t>> entries;
  entries.reserve(std::min<uint64_t>(*count, d.source().remaining()));
  for (uint64_t i = 0; i < *count; ++i) {
    auto token = d.string_view();
    if (!token) return fail(std::move(token.error()));
    auto id = d.u32();
    if (!id) return fail(std::move(id.error()));
    entries.emplace_back(*token, *id);
  }
  auto slots = d.sequence<std::optional<std::string>>(
      [](WholeFileDecoder& e) { return e.optional_string(); });
  if (!slots) return fail(std::move(slots.error()));
  auto free_ids = d.sequence<uint32_t>([](WholeFileDecoder& e) { return e.u32(); });
  if (!free_ids) return fail(std::move(free_ids.error()));

  if (slots->size() > uint64_t{UINT32_MAX} + 1) return fail(corrupt_data("more slots than ids"));
  auto words = Words::of(std::move(*slots));
  if (!words) return fail(corrupt_data("a token is in two slots"));
  const auto& filled = words->slots();
  // Per slot, the id its text was given last by token_to_id.
  std::vector<int64_t> given(filled.size(), -1);
  for (const auto& [token, id] : entries) {
    const std::optional<uint32_t> slot = words->id_of(token);
    if (!slot) return fail(corrupt_data("token_to_id names ids without a slot"));
    given[*slot] = id;
  }
  for (size_t id = 0; id < filled.size(); ++id) {
    if (filled[id] && given[id] != static_cast<int64_t>(id)) {
      return fail(corrupt_data("slot " + std::to_string(id) + " disagrees with token_to_id"));
    }
  }
  std::vector<bool> listed(filled.size());
  for (uint32_t id : *free_ids) {
    if (id >= filled.size() || filled[id] || listed[id]) {
      return fail(corrupt_data("free id " + std::to_string(id) + " is not a free slot"));
    }
    listed[id] = true;
  }
  if (free_ids->size() != filled.size() - words->size()) {
    return fail(corrupt_data("free_ids misses free slots"));
  }
  return Decoded{std::move(*words), std::move(*free_ids)};
}

Status<Error> create_empty(const fs::path& path) {
  auto file = File::create(path);
  if (!file) return fail(Error{std::move(file.error())});
  return {};
}

// The store as found on disk, created when missing by the writer; nothing when it does not
// decode.
Result<std::optional<Decoded>, Error> read_store(const fs::path& index_dir,
                                                     const fs::path& path, Access access) {
  std::error_code code;
  const bool dir_exists = fs::exists(index_dir, code);
  if (code) return fail(io_error(code, index_dir));
  const bool path_exists = dir_exists && fs::exists(path, code);
  if (code) return fail(io_error(code, path));
  if (!path_exists) {
    if (access == Access::ReadOnly) return std::optional(Decoded{});
    fs::create_directories(index_dir, code);
    if (code) return fail(io_error(code, index_dir));
    if (auto s = create_empty(path); !s) return fail(std::move(s.error()));
    return std::optional(Decoded{});
  }
  // Decoded in place, from the mapping: saves replace the file by a rename, never shrink it.
  auto mapped = utils::MappedFile::open(path);
  if (!mapped) return fail(Error{std::move(mapped.error())});
  if (mapped->bytes().empty()) return std::optional(Decoded{});
  auto store = decode_store(mapped->bytes());
  if (!store) {
    // The writer rebuilds the dictionary with the index; a reader goes on without it.
    std::printf("Warning tokens decode error: %s%s\n", store.error().to_string().c_str(),
                access == Access::ReadWrite ? "; rebuilding the index from the stored documents"
                                            : "");
    std::fflush(stdout);
    return std::optional<Decoded>();
  }
  return std::optional<Decoded>(std::move(*store));
}

}  // namespace

std::string encode_tokens_store(const Words::Slots& slots, const std::vector<uint32_t>& free_ids) {
  std::string out;
  storage::Encoder e(out);
  uint64_t filled = 0;
  for (const auto& token : slots) filled += token.has_value();
  e.varint(filled);
  for (uint32_t id = 0; id < slots.size(); ++id) {
    if (!slots[id]) continue;
    e.string(*slots[id]);
    e.varint(id);
  }
  e.varint(slots.size());
  for (const auto& token : slots) e.optional_string(token);
  e.varint(free_ids.size());
  for (uint32_t id : free_ids) e.varint(id);
  return out;
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
  Decoded decoded = std::move(*store).value_or(Decoded{});
  TokenHasher hasher(std::move(path), std::move(decoded.words), std::move(decoded.free_ids),
                     std::move(config), std::move(clock), *now);
  hasher.damaged_ = !store->has_value();
  return hasher;
}

Result<uint32_t, Error> TokenHasher::add(std::string_view token) {
  if (auto id = words_.id_of(token)) return *id;
  uint32_t id;
  if (!free_ids_.empty()) {
    id = free_ids_.back();
    free_ids_.pop_back();
  } else {
    id = static_cast<uint32_t>(words_.slots().size());
  }
  words_.put(id, std::string(token));
  if (auto s = count_change(); !s) return fail(std::move(s.error()));
  return id;
}

Result<std::optional<std::string>, Error> TokenHasher::delete_token(uint32_t id) {
  std::optional<std::string> token = words_.take(id);
  if (!token) return token;
  free_ids_.push_back(id);
  if (auto s = count_change(); !s) return fail(std::move(s.error()));
  return token;
}

bool TokenHasher::trim_free_tail() {
  const size_t before = words_.slots().size();
  words_.trim_free_tail();
  const size_t after = words_.slots().size();
  if (after == before) return false;
  std::erase_if(free_ids_, [&](uint32_t id) { return id >= after; });
  unsaved_ = true;
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

Status<Error> TokenHasher::flush() {
  auto replaced = utils::replace_file(path_, encode_tokens_store(words_.slots(), free_ids_));
  if (!replaced) return fail(Error::rewriting(std::move(replaced.error())));
  unsaved_ = false;
  return {};
}

}  // namespace tarnwick::inverted
