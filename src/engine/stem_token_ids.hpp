// StemTokenIds: the token ids of the tokenizer's stems, as found by earlier adds, so that each
// distinct stem is looked up in the dictionary once rather than once per document. An id once
// found stays right until a word leaves the dictionary, when its id may go to another word: the
// engine forgets them all then. The tokenizer numbering its stems afresh empties the table too.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace tarnwick::engine {

class StemTokenIds {
 public:
  // Forgets every id when the tokenizer's stem numbers are of a new generation.
  void follow(uint64_t stem_generation) {
    if (stem_generation == generation_) return;
    ids_.clear();
    generation_ = stem_generation;
  }

  void forget() { ids_.clear(); }

  std::optional<uint32_t> find(uint32_t stem_id) const {
    if (stem_id >= ids_.size() || ids_[stem_id] == kUnknown) return std::nullopt;
    return ids_[stem_id];
  }

  void remember(uint32_t stem_id, uint32_t token_id) {
    if (stem_id >= ids_.size()) ids_.resize(stem_id + size_t{1}, kUnknown);
    ids_[stem_id] = token_id;
  }

 private:
  static constexpr uint32_t kUnknown = UINT32_MAX;

  std::vector<uint32_t> ids_;  // by stem id
  uint64_t generation_ = 0;
};

}  // namespace tarnwick::engine
