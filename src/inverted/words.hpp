// Words: the dictionary's words by id, in slots of which some are free, and the ids by word. The
// words of the saved store are read in place (StoredWords); the words put and taken since it was
// saved are held in memory, until the next save takes them in (rebase). Memory holds what is
// pending, not the whole dictionary.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/flat_hash_set.h"
#include "absl/container/node_hash_map.h"
#include "absl/functional/function_ref.h"
#include "inverted/stored_words.hpp"

namespace tarnwick::inverted {

class Words {
 public:
  Words() = default;
  explicit Words(StoredWords stored) { rebase(std::move(stored)); }

  std::optional<uint32_t> id_of(std::string_view word) const;
  // The same, for a writer adding documents, who looks up the same words over and over: a stored
  // word found is remembered in memory, in a hash, until the next save or until kRemembered
  // words are.
  std::optional<uint32_t> find_remembering(std::string_view word);
  // The word in slot `id`; nothing for a free slot or one out of range. Valid until the next
  // change.
  std::optional<std::string_view> word(uint32_t id) const;
  // Whether slot `id` holds a word.
  bool has(uint32_t id) const;
  // The number of words.
  size_t size() const { return size_; }
  // Whether these are the words of the saved store, as its word list orders them: nothing
  // changed since.
  bool saved() const {
    return stored_.listed() && added_.empty() && taken_.empty() && slot_count_ == stored_.slot_count();
  }
  // The number of slots, filled or free.
  uint64_t slot_count() const { return slot_count_; }
  // Hands every slot to `visit` in ascending id: its word, or nothing for a free slot.
  void for_each_slot(absl::FunctionRef<void(uint32_t id, std::optional<std::string_view>)> visit) const;
  // The ids of the words, in ascending byte order of the words.
  std::vector<uint32_t> ids_in_order() const;

  // Puts `word`, which is not a word yet, in the free slot `id`, or in a new one when `id` is the
  // number of slots.
  void put(uint32_t id, std::string word);
  // Frees the slot `id`, giving its word back; nothing when it is out of range or free.
  std::optional<std::string> take(uint32_t id);
  // Drops the free slots after the last filled one.
  void trim_free_tail();

  // Takes `stored`, a save of these very words, as the words read in place, dropping the changes
  // held in memory.
  void rebase(StoredWords stored);

 private:
  // A word of the store that no change has taken.
  std::optional<std::string_view> stored_word(uint32_t id) const;
  // The id of a word put since the store was saved.
  std::optional<uint32_t> added_id(std::string_view word) const;
  // The id of a stored word that no change has taken.
  std::optional<uint32_t> stored_id(std::string_view word) const;

  StoredWords stored_;
  uint64_t slot_count_ = 0;
  size_t size_ = 0;
  // The words put since the store was saved, by word and by id (node-based: the second points at
  // the keys of the first).
  absl::node_hash_map<std::string, uint32_t> added_;
  absl::flat_hash_map<uint32_t, const std::string*> added_by_id_;
  // The stored words' ids freed since.
  absl::flat_hash_set<uint32_t> taken_;
  // Stored words found by find_remembering, and their ids; none taken since.
  static constexpr size_t kRemembered = size_t{1} << 18;
  absl::flat_hash_map<std::string, uint32_t> remembered_;
};

}  // namespace tarnwick::inverted
