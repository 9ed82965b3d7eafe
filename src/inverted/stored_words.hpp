// StoredWords: the words of a saved token store, read in place from the store's mapping rather
// than copied out of it, and found by a binary search over the store's entries in ascending byte
// order of their words. That order comes from the word list, `dir`/index/words, a file derived
// from the store: opening reads neither every word nor builds a hash of them.
//
// The token store stays the dictionary's record; the word list never overrides it. The list
// names the size and the checksum of the whole store it was made from: one that is missing,
// damaged, or made from other bytes is not used, and opening then reads and checks the store
// whole and sorts its words itself. Written by the writer after each save of the store, beside
// the old list and renamed over it.
//
// Layout of the word list, little-endian (the host's order, which the magic records):
//   header, 64 bytes: magic (8), the store's size (8) and checksum64 (8), number of words n (8),
//     number of slots (8), offsets in the store of its id_to_token field (8) and of its free_ids
//     field (8), checksum of the header's first 56 bytes and of the entries below (8);
//   n entries of 4 bytes, one per word: the offset in the store of the word's token_to_id entry,
//     in ascending byte order of the words.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "absl/functional/function_ref.h"
#include "storage/codec/decoder.hpp"
#include "utils/mmap.hpp"
#include "utils/result.hpp"

namespace tarnwick::inverted {

inline constexpr char kWordListFileName[] = "words";

// Where a store's fields begin, and the size of its id_to_token field.
struct StoreLayout {
  uint64_t id_to_token = 0;
  uint64_t free_ids = 0;
  uint64_t slot_count = 0;
};

// Which store, by its size and checksum64.
struct StoreStamp {
  uint64_t size = 0;
  uint64_t checksum = 0;

  static StoreStamp of(std::span<const uint8_t> store);
  bool operator==(const StoreStamp&) const = default;
};

// A word and the id the store gives it; kNoId where the store's bytes hold no entry.
inline constexpr uint32_t kNoId = UINT32_MAX;
struct StoredWord {
  std::string_view text;
  uint32_t id = 0;
};

class StoredWords {
 public:
  // An empty store.
  StoredWords() = default;
  StoredWords(StoredWords&&) noexcept = default;
  StoredWords& operator=(StoredWords&&) noexcept = default;

  // The words of the store `store`, its fields decoded and checked against each other whole,
  // then sorted. A store of 4 GiB or more is refused: the word list locates
  // entries with 32-bit offsets.
  static storage::DecodeResult<StoredWords> decode(std::shared_ptr<const utils::MappedFile> store);
  // The same, in the order that the word list `list` gives, read in place; nothing when the list
  // was not made from this store or is not whole. The store is checked only against the list's
  // checksum of it: it was checked whole when the list was made.
  static std::optional<StoredWords> with_list(std::shared_ptr<const utils::MappedFile> store,
                                              std::shared_ptr<const utils::MappedFile> list);

  // The bytes of the word list of the store `store`, laid out as `layout` says, whose token_to_id
  // entries at `sorted` hold its words in ascending order.
  static std::string list_bytes(std::span<const uint8_t> store, const StoreLayout& layout,
                                std::span<const uint32_t> sorted);
  // The word list of these words.
  std::string list_bytes() const;

  // The store these words are read from; an empty store's when there is none.
  StoreStamp stamp() const { return stamp_; }
  // Whether the words are in the order of a word list, read in place.
  bool listed() const { return list_ != nullptr; }
  // The number of words.
  size_t size() const { return sorted_.size(); }
  uint64_t slot_count() const { return layout_.slot_count; }
  // Word i in ascending byte order. REQUIRES: i < size()
  StoredWord at(size_t i) const;
  std::optional<uint32_t> id_of(std::string_view word) const;
  // The word in slot `id`; nothing for a free slot or one out of range. The first call reads
  // where every slot's word is.
  std::optional<std::string_view> word(uint32_t id) const;
  // Whether slot `id` holds a word: every slot below the count does but the free ones.
  bool has(uint32_t id) const {
    return id < layout_.slot_count && !std::binary_search(free_.begin(), free_.end(), id);
  }
  // Hands every slot to `visit` in ascending id: its word, or nothing for a free slot.
  void for_each_slot(absl::FunctionRef<void(uint32_t id, std::optional<std::string_view>)> visit) const;
  // The free ids, oldest freed first.
  std::vector<uint32_t> free_ids() const;

 private:
  std::span<const uint8_t> bytes() const;
  // Hands every slot to `visit` in ascending id, with the offset of its word's length in the
  // store, or 0 for a free slot.
  void walk_slots(absl::FunctionRef<void(uint32_t id, uint64_t text_at)> visit) const;
  // slot_words_, read on first use.
  const std::vector<uint32_t>& slot_words() const;

  std::shared_ptr<const utils::MappedFile> store_;
  StoreStamp stamp_ = StoreStamp::of({});
  StoreLayout layout_;
  // The offsets of the entries in ascending order of their words: in place in the word list
  // `list_`, or in `sorted_owned_` when decoding sorted them.
  std::shared_ptr<const utils::MappedFile> list_;
  std::vector<uint32_t> sorted_owned_;
  std::span<const uint32_t> sorted_;
  // The free ids in ascending order: a whole store's are exactly its empty slots.
  std::vector<uint32_t> free_;
  // Per slot, the offset of its word's length in the store, or 0 for a free slot; read when a
  // word is first looked up by id.
  mutable std::vector<uint32_t> slot_words_;
};

}  // namespace tarnwick::inverted
