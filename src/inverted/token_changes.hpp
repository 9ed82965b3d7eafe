// The token dictionary's changes since its store was last written whole, appended at each save
// to `dir`/index/token-changes, so that a save costs what changed rather than the whole store.
// The dictionary rewrites its store whole, and starts this file afresh, once the changes would
// outgrow a share of the store (TokenHasher).
//
// The file names the store it follows by the store's size and checksum64. Changes that follow
// another store are passed over: that store was written whole after them (a crash between
// writing it and starting this file afresh, or a compaction) and holds them. Each save appends
// one batch, with its size and checksum: a batch cut short by a crash fails its check, and it and
// whatever follows it are not read.
//
// Layout, little-endian:
//   header, 32 bytes: magic (8), the store's size (8) and checksum64 (8), checksum64 of the
//     header's first 24 bytes (8);
//   batches: payload size (4), checksum64 of the payload (8), then the payload: the changes in
//     the order they were made, each a varint id followed by 1 and the word (varint byte length,
//     UTF-8 bytes) when the word was put in that slot, or by 0 when the slot was freed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "inverted/stored_words.hpp"
#include "utils/io_error.hpp"
#include "utils/replace_file.hpp"
#include "utils/result.hpp"

namespace tarnwick::inverted {

inline constexpr char kTokenChangesFileName[] = "token-changes";
inline constexpr uint64_t kTokenChangesHeaderSize = 32;

struct TokenChange {
  uint32_t id = 0;
  std::optional<std::string> word;  // put in slot `id`; nothing: the slot was freed

  bool operator==(const TokenChange&) const = default;
};

struct ReadTokenChanges {
  std::vector<TokenChange> changes;
  uint64_t read_size = 0;  // the header and the whole batches, which the file begins with
  uint64_t file_size = 0;
};

// The changes that the file `path` holds after the store `store`; nothing when the file is
// missing or empty, or follows another store.
utils::Result<std::optional<ReadTokenChanges>, utils::IoError> read_token_changes(
    const std::filesystem::path& path, StoreStamp store);

// The bytes of one batch holding `changes`.
std::string encode_token_changes(std::span<const TokenChange> changes);

// Starts the file `path` afresh, with no changes, after the store `store`. Durable when it
// returns (utils::replace_file).
utils::Status<utils::ReplaceFileError> start_token_changes(const std::filesystem::path& path,
                                                          StoreStamp store);

// Appends `batch` to the file `path` when that file is `size` bytes long, as its writer left it;
// false, and nothing written, when it is missing or of another size. Durable when it returns:
// the batch and the file's new size are synced (the file's entry was synced when it was started).
utils::Result<bool, utils::IoError> append_token_changes(const std::filesystem::path& path,
                                                         uint64_t size, std::string_view batch);

}  // namespace tarnwick::inverted
