// Words: the dictionary's words by id, in slots of which some are free, and the ids by word. Each
// word is held once, in its slot: the ids by word are a hash set of ids, hashed and compared by
// their slots' words, which a word is looked up in without a copy.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "absl/container/flat_hash_set.h"
#include "absl/functional/function_ref.h"

namespace tarnwick::inverted {

class Words {
 public:
  using Slots = std::vector<std::optional<std::string>>;

  Words() : Words(Slots()) {}
  // The words of `slots`; nothing when a word is in two of them.
  static std::optional<Words> of(Slots slots);

  std::optional<uint32_t> id_of(std::string_view word) const {
    auto it = ids_.find(word);
    if (it == ids_.end()) return std::nullopt;
    return *it;
  }
  // The number of words.
  size_t size() const { return ids_.size(); }
  const Slots& slots() const { return *slots_; }
  void for_each(absl::FunctionRef<void(const std::string& word, uint32_t id)> visit) const {
    for (uint32_t id : ids_) visit(*(*slots_)[id], id);
  }

  // Puts `word`, which is not a word yet, in the free slot `id`, or in a new one when `id` is the
  // number of slots.
  void put(uint32_t id, std::string word);
  // Frees the slot `id`, giving its word back; nothing when it is out of range or free.
  std::optional<std::string> take(uint32_t id);
  // Drops the free slots after the last filled one.
  void trim_free_tail();

 private:
  // Hashes and compares ids by their words; a word is looked up as itself.
  struct ByWord {
    using is_transparent = void;
    const Slots* slots;
    std::string_view word(uint32_t id) const { return *(*slots)[id]; }
    std::string_view word(std::string_view word) const { return word; }
    template <class T>
    size_t operator()(const T& key) const {
      return std::hash<std::string_view>{}(word(key));
    }
    template <class A, class B>
    bool operator()(const A& a, const B& b) const {
      return word(a) == word(b);
    }
  };

  explicit Words(Slots slots);

  // On the heap, so that the set's functors keep pointing at it when the Words move.
  std::unique_ptr<Slots> slots_;
  absl::flat_hash_set<uint32_t, ByWord, ByWord> ids_;
};

}  // namespace tarnwick::inverted
