// The token store, `dir`/index/tokens: exactly one TokensStore record in the record encoding
// (little-endian varints, see storage/encoder.hpp), with nothing before or after it. There is no
// header, version or checksum; a file of length 0 is an empty store.
//   token_to_id  varint entry count; per entry the text (varint byte length, UTF-8 bytes) and
//                the id (varint); entries in no defined order, a repeated text keeps the later id
//   id_to_token  varint slot count; per slot 0 for a free slot, or 1 followed by the text
//   free_ids     varint count; the ids (varints), in the order they were freed
#include "inverted/token_hasher.hpp"

#include <cstdio>
#include <system_error>

#include "storage/codec/decoder.hpp"
#include "storage/codec/encoder.hpp"
#include "storage/codec/corruption.hpp"
#include "utils/file.hpp"
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

storage::DecodeResult<absl::flat_hash_map<std::string, uint32_t>> decode_map(WholeFileDecoder& d) {
  auto count = d.length();
  if (!count) return fail(std::move(count.error()));
  absl::flat_hash_map<std::string, uint32_t> map;
  map.reserve(std::min<uint64_t>(*count, d.source().remaining()));
  for (uint64_t i = 0; i < *count; ++i) {
    auto token = d.string();
    if (!token) return fail(std::move(token.error()));
    auto id = d.u32();
    if (!id) return fail(std::move(id.error()));
    map.insert_or_assign(std::move(*token), *id);
  }
  return map;
}

// The fields must agree with each other: add and delete_token index id_to_token by the ids found
// in free_ids, so a store that breaks the invariants is refused rather than trusted.
Status<DecodeError> check_invariants(const TokensStore& store) {
  const auto& slots = store.id_to_token;
  if (slots.size() > uint64_t{UINT32_MAX} + 1) return fail(corrupt_data("more slots than ids"));
  size_t filled = 0;
  for (size_t id = 0; id < slots.size(); ++id) {
    if (!slots[id]) continue;
    ++filled;
    auto it = store.token_to_id.find(*slots[id]);
    if (it == store.token_to_id.end() || it->second != id) {
      return fail(corrupt_data("slot " + std::to_string(id) + " disagrees with token_to_id"));
    }
  }
  if (filled != store.token_to_id.size()) {
    return fail(corrupt_data("token_to_id names ids without a slot"));
  }
  std::vector<bool> listed(slots.size());
  for (uint32_t id : store.free_ids) {
    if (id >= slots.size() || slots[id] || listed[id]) {
      return fail(corrupt_data("free id " + std::to_string(id) + " is not a free slot"));
    }
    listed[id] = true;
  }
  if (store.free_ids.size() != slots.size() - filled) {
    return fail(corrupt_data("free_ids misses free slots"));
  }
  return {};
}

// Decoded from the file's bytes in memory: read a byte or a few at a time, the store decodes
// several times faster from memory than through a file.
storage::DecodeResult<TokensStore> decode_store(std::string_view bytes) {
  WholeFileDecoder d{storage::WholeFileSource(bytes)};
  auto token_to_id = decode_map(d);
  if (!token_to_id) return fail(std::move(token_to_id.error()));
  auto id_to_token = d.sequence<std::optional<std::string>>(
      [](WholeFileDecoder& e) { return e.optional_string(); });
  if (!id_to_token) return fail(std::move(id_to_token.error()));
  auto free_ids = d.sequence<uint32_t>([](WholeFileDecoder& e) { return e.u32(); });
  if (!free_ids) return fail(std::move(free_ids.error()));
  TokensStore store{std::move(*token_to_id), std::move(*id_to_token), std::move(*free_ids)};
  if (auto s = check_invariants(store); !s) return fail(std::move(s.error()));
  return store;
}

Status<Error> create_empty(const fs::path& path) {
  auto file = File::create(path);
  if (!file) return fail(Error{std::move(file.error())});
  return {};
}

// The store as found on disk, created when missing by the writer; nothing when it does not
// decode.
Result<std::optional<TokensStore>, Error> read_store(const fs::path& index_dir,
                                                     const fs::path& path, Access access) {
  std::error_code code;
  const bool dir_exists = fs::exists(index_dir, code);
  if (code) return fail(io_error(code, index_dir));
  const bool path_exists = dir_exists && fs::exists(path, code);
  if (code) return fail(io_error(code, path));
  if (!path_exists) {
    if (access == Access::ReadOnly) return std::optional(TokensStore{});
    fs::create_directories(index_dir, code);
    if (code) return fail(io_error(code, index_dir));
    if (auto s = create_empty(path); !s) return fail(std::move(s.error()));
    return std::optional(TokensStore{});
  }
  auto bytes = utils::read_file(path);
  if (!bytes) return fail(Error{std::move(bytes.error())});
  if (bytes->empty()) return std::optional(TokensStore{});
  auto store = decode_store(*bytes);
  if (!store) {
    // The writer rebuilds the dictionary with the index; a reader goes on without it.
    std::printf("Warning tokens decode error: %s%s\n", store.error().to_string().c_str(),
                access == Access::ReadWrite ? "; rebuilding the index from the stored documents"
                                            : "");
    std::fflush(stdout);
    return std::optional<TokensStore>();
  }
  return std::optional<TokensStore>(std::move(*store));
}

}  // namespace

std::string encode_tokens_store(const TokensStore& store) {
  std::string out;
  storage::Encoder e(out);
  e.varint(store.token_to_id.size());
  for (const auto& [token, id] : store.token_to_id) {
    e.string(token);
    e.varint(id);
  }
  e.varint(store.id_to_token.size());
  for (const auto& token : store.id_to_token) e.optional_string(token);
  e.varint(store.free_ids.size());
  for (uint32_t id : store.free_ids) e.varint(id);
  return out;
}

TokenHasher::TokenHasher(fs::path path, TokensStore store, std::shared_ptr<const Config> config,
                         Clock clock, uint64_t now)
    : path_(std::move(path)),
      store_(std::move(store)),
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
  TokenHasher hasher(std::move(path), std::move(*store).value_or(TokensStore{}), std::move(config),
                     std::move(clock), *now);
  hasher.damaged_ = !store->has_value();
  return hasher;
}

Result<uint32_t, Error> TokenHasher::add(std::string_view token) {
  // This build's absl::string_view is its own type, which the map looks up without a copy.
  const absl::string_view key(token.data(), token.size());
  if (auto it = store_.token_to_id.find(key); it != store_.token_to_id.end()) return it->second;
  uint32_t id;
  if (!store_.free_ids.empty()) {
    id = store_.free_ids.back();
    store_.free_ids.pop_back();
    store_.id_to_token[id] = std::string(token);
  } else {
    id = static_cast<uint32_t>(store_.id_to_token.size());
    store_.id_to_token.emplace_back(std::string(token));
  }
  store_.token_to_id.emplace(key, id);
  if (auto s = count_change(); !s) return fail(std::move(s.error()));
  return id;
}

Result<std::optional<std::string>, Error> TokenHasher::delete_token(uint32_t id) {
  if (id >= store_.id_to_token.size() || !store_.id_to_token[id]) {
    return std::optional<std::string>();
  }
  std::optional<std::string> token = std::move(store_.id_to_token[id]);
  store_.id_to_token[id].reset();
  store_.free_ids.push_back(id);
  store_.token_to_id.erase(*token);
  if (auto s = count_change(); !s) return fail(std::move(s.error()));
  return token;
}

bool TokenHasher::trim_free_tail() {
  auto& slots = store_.id_to_token;
  const size_t before = slots.size();
  while (!slots.empty() && !slots.back()) slots.pop_back();
  if (slots.size() == before) return false;
  std::erase_if(store_.free_ids, [&](uint32_t id) { return id >= slots.size(); });
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
  auto replaced = utils::replace_file(path_, encode_tokens_store(store_));
  if (!replaced) return fail(Error::rewriting(std::move(replaced.error())));
  unsaved_ = false;
  return {};
}

}  // namespace tarnwick::inverted
