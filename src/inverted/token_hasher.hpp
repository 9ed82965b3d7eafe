// TokenHasher: the token dictionary. It gives every distinct token text a 32-bit id, dense from
// 0, and the text back for an id; ids freed when a token leaves the index are handed out again,
// the most recently freed first. The dictionary lives in the token store, `dir`/index/tokens,
// written whole (and atomically), and read in place from it (Words, StoredWords), with the store's
// word list, `dir`/index/words, derived from it and written after it. A save appends the changes
// made since the last one to `dir`/index/token-changes (token_changes.hpp) while they stay below
// a share of the store, and writes the store whole otherwise: its cost follows what changed.
//
// Invariants: a live id i has id_to_token[i] == t and id_of(t) == i; free_ids holds each empty
// slot's id exactly once; every id is below id_to_token.size().
//
// Saves happen inside add and delete_token once `index_save_after_operations` changes have piled
// up or `index_save_after_seconds` have passed since the last save, and on flush. Nothing is saved
// when the dictionary is dropped.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "absl/functional/function_ref.h"
#include "base/config.hpp"
#include "base/error_kinds.hpp"
#include "inverted/stored_words.hpp"
#include "inverted/token_changes.hpp"
#include "inverted/words.hpp"
#include "utils/access.hpp"
#include "utils/clock.hpp"
#include "utils/file.hpp"
#include "utils/result.hpp"

namespace tarnwick::inverted {

// `dir`/index holds the token store and the index logs.
inline constexpr char kIndexDirName[] = "index";
inline constexpr char kTokensFileName[] = "tokens";

// A token store's bytes, and what its word list needs of them.
struct EncodedStore {
  std::string bytes;
  StoreLayout layout;
  // The offsets of its token_to_id entries, in ascending order of their words.
  std::vector<uint32_t> sorted;

  // The bytes of the store's word list.
  std::string list_bytes() const {
    return StoredWords::list_bytes(utils::as_bytes(bytes), layout, sorted);
  }
};

// The store of `words` and the free ids `free_ids` (oldest freed first), in the record encoding.
EncodedStore encode_tokens_store(const Words& words, std::span<const uint32_t> free_ids);

class TokenHasher {
 public:
  using Error = BincodePersistenceError;

  // Opens the dictionary of the engine directory `dir`, creating `dir`/index and an empty token
  // store when either is missing (read-only: an empty dictionary, nothing created). A store that
  // does not decode, or decodes into contradicting fields, prints one warning line on standard
  // output and gives an empty dictionary that is `damaged`; the file is left as it is (the
  // writer's engine then sets it aside and rebuilds the index). Fails with Io or utils::Clock.
  static utils::Result<TokenHasher, Error> load(const std::filesystem::path& dir,
                                         std::shared_ptr<const Config> config,
                                         utils::Clock clock = utils::system_time_nanos,
                                         utils::Access access = utils::Access::ReadWrite);

  // The id of `token`, assigning one when the token is new. A new token counts as one change and
  // may save the store; on a utils::Clock or save failure the new id stays assigned in memory.
  utils::Result<uint32_t, Error> add(std::string_view token);

  // Frees `id` and gives its text back; nothing, and no change counted, when the id is out of
  // range or already free. May save the store like add; on failure the id stays freed in memory.
  utils::Result<std::optional<std::string>, Error> delete_token(uint32_t id);

  // Saves the changes made since the last save: appended to the changes file while that stays
  // below a share of the store, or else the store rewritten whole, then its word list, both then
  // read in place (the words changed since leave memory), and the changes file started afresh.
  // Io when a file cannot be created, appended to or put in place, Encode when writing the store
  // fails. The change counters are left alone. Writes nothing when there is nothing to save.
  utils::Status<Error> flush();

  // The id of a known token.
  std::optional<uint32_t> id_of(std::string_view token) const { return words_.id_of(token); }

  // Drops the free slots after the last filled one, so that a dictionary whose words have mostly
  // gone stops keeping a slot for each; gives whether any went. Saves nothing.
  bool trim_free_tail();

  // Some change made since the last successful save.
  bool has_unsaved_changes() const { return unsaved_; }
  // The store on disk did not decode, and was not read.
  bool damaged() const { return damaged_; }

  // The number of tokens.
  size_t size() const { return words_.size(); }
  // The token of `id`; nothing when the id is free or out of range. Valid until the next change.
  std::optional<std::string_view> token(uint32_t id) const { return words_.word(id); }
  bool has_token(uint32_t id) const { return words_.has(id); }
  // Hands every token and its id to `visit`, in ascending id.
  void for_each_token(absl::FunctionRef<void(std::string_view token, uint32_t id)> visit) const;
  // A copy of every slot, for inspecting the dictionary whole.
  std::vector<std::optional<std::string>> id_to_token() const;
  const std::vector<uint32_t>& free_ids() const { return free_ids_; }
  const Words& words() const { return words_; }

 private:
  TokenHasher(std::filesystem::path path, Words words, std::vector<uint32_t> free_ids,
              std::shared_ptr<const Config> config, utils::Clock clock, uint64_t now);

  // Counts one change, then saves when a save is due.
  utils::Status<Error> count_change();
  // Takes in a change read from the changes file; false when it does not apply to the dictionary
  // as it stands (a slot that is not free, or not filled).
  bool replay(TokenChange change);
  // Appends the changes since the last save to the changes file; false when that file is not the
  // one this dictionary left, or would outgrow its share of the store.
  utils::Result<bool, Error> append_changes();
  utils::Status<Error> rewrite();
  std::filesystem::path changes_path() const;

  std::filesystem::path path_;
  Words words_;
  std::vector<uint32_t> free_ids_;  // oldest freed first
  // The changes since the last save, in order.
  std::vector<TokenChange> unsaved_changes_;
  // The store on disk, and the size of the changes file that follows it, when there is one.
  StoreStamp store_;
  std::optional<uint64_t> changes_size_;
  std::shared_ptr<const Config> config_;
  utils::Clock clock_;
  uint64_t operations_ = 0;
  uint64_t last_save_;
  bool unsaved_ = false;
  bool damaged_ = false;
};

}  // namespace tarnwick::inverted
