#include "inverted/words.hpp"

namespace tarnwick::inverted {

Words::Words(Slots slots)
    : slots_(std::make_unique<Slots>(std::move(slots))),
      ids_(0, ByWord{slots_.get()}, ByWord{slots_.get()}) {}

std::optional<Words> Words::of(Slots slots) {
  Words words(std::move(slots));
  const Slots& filled = *words.slots_;
  words.ids_.reserve(filled.size());
  for (uint32_t id = 0; id < filled.size(); ++id) {
    if (filled[id] && !words.ids_.insert(id).second) return std::nullopt;
  }
  return words;
}

void Words::put(uint32_t id, std::string word) {
  if (id == slots_->size()) {
    slots_->emplace_back(std::move(word));
  } else {
    (*slots_)[id] = std::move(word);
  }
  ids_.insert(id);
}

std::optional<std::string> Words::take(uint32_t id) {
  if (id >= slots_->size() || !(*slots_)[id]) return std::nullopt;
  // Out of the set while its word still hashes it.
  ids_.erase(id);
  std::optional<std::string> word = std::move((*slots_)[id]);
  (*slots_)[id].reset();
  return word;
}

void Words::trim_free_tail() {
  while (!slots_->empty() && !slots_->back()) slots_->pop_back();
}

}  // namespace tarnwick::inverted
