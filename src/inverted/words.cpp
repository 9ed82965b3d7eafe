#include "inverted/words.hpp"

#include <algorithm>

namespace tarnwick::inverted {

void Words::rebase(StoredWords stored) {
  stored_ = std::move(stored);
  slot_count_ = stored_.slot_count();
  size_ = stored_.size();
  added_.clear();
  added_by_id_.clear();
  taken_.clear();
  remembered_.clear();
}

std::optional<std::string_view> Words::stored_word(uint32_t id) const {
  if (id >= slot_count_ || taken_.contains(id)) return std::nullopt;
  return stored_.word(id);
}

std::optional<uint32_t> Words::added_id(std::string_view word) const {
  if (added_.empty()) return std::nullopt;
  // Looked up as absl's own view, which may not be std::string_view.
  const auto it = added_.find(absl::string_view(word.data(), word.size()));
  if (it == added_.end()) return std::nullopt;
  return it->second;
}

std::optional<uint32_t> Words::stored_id(std::string_view word) const {
  const std::optional<uint32_t> id = stored_.id_of(word);
  if (!id || taken_.contains(*id)) return std::nullopt;
  return id;
}

std::optional<uint32_t> Words::id_of(std::string_view word) const {
  if (auto id = added_id(word)) return id;
  return stored_id(word);
}

bool Words::has(uint32_t id) const {
  if (!added_by_id_.empty() && added_by_id_.contains(id)) return true;
  return id < slot_count_ && (taken_.empty() || !taken_.contains(id)) && stored_.has(id);
}

std::optional<uint32_t> Words::find_remembering(std::string_view word) {
  if (auto id = added_id(word)) return id;
  const absl::string_view key(word.data(), word.size());
  if (auto it = remembered_.find(key); it != remembered_.end()) return it->second;
  const std::optional<uint32_t> id = stored_id(word);
  if (id) {
    if (remembered_.size() >= kRemembered) remembered_.clear();
    remembered_.emplace(key, *id);
  }
  return id;
}

std::optional<std::string_view> Words::word(uint32_t id) const {
  if (auto it = added_by_id_.find(id); it != added_by_id_.end()) return *it->second;
  return stored_word(id);
}

void Words::for_each_slot(
    absl::FunctionRef<void(uint32_t id, std::optional<std::string_view>)> visit) const {
  const bool changed = !added_.empty() || !taken_.empty();
  stored_.for_each_slot([&](uint32_t id, std::optional<std::string_view> text) {
    if (id >= slot_count_) return;
    if (changed) {
      if (auto it = added_by_id_.find(id); it != added_by_id_.end()) {
        text = *it->second;
      } else if (taken_.contains(id)) {
        text.reset();
      }
    }
    visit(id, text);
  });
  for (uint64_t id = stored_.slot_count(); id < slot_count_; ++id) {
    const auto it = added_by_id_.find(static_cast<uint32_t>(id));
    visit(static_cast<uint32_t>(id),
          it == added_by_id_.end() ? std::nullopt : std::optional<std::string_view>(*it->second));
  }
}

std::vector<uint32_t> Words::ids_in_order() const {
  std::vector<std::pair<std::string_view, uint32_t>> added;
  added.reserve(added_.size());
  for (const auto& [word, id] : added_) added.emplace_back(word, id);
  std::sort(added.begin(), added.end());
  // The stored words, already in order, merged with the added ones.
  std::vector<uint32_t> ids;
  ids.reserve(size_);
  auto next = added.begin();
  for (size_t i = 0; i < stored_.size(); ++i) {
    const StoredWord word = stored_.at(i);
    if (word.id >= slot_count_ || taken_.contains(word.id)) continue;
    for (; next != added.end() && next->first < word.text; ++next) ids.push_back(next->second);
    ids.push_back(word.id);
  }
  for (; next != added.end(); ++next) ids.push_back(next->second);
  return ids;
}

void Words::put(uint32_t id, std::string word) {
  auto [it, inserted] = added_.emplace(std::move(word), id);
  added_by_id_[id] = &it->first;
  slot_count_ = std::max<uint64_t>(slot_count_, uint64_t{id} + 1);
  ++size_;
}

std::optional<std::string> Words::take(uint32_t id) {
  if (auto it = added_by_id_.find(id); it != added_by_id_.end()) {
    std::string word = *it->second;
    added_by_id_.erase(it);
    added_.erase(word);
    --size_;
    return word;
  }
  const std::optional<std::string_view> word = stored_word(id);
  if (!word) return std::nullopt;
  taken_.insert(id);
  remembered_.erase(absl::string_view(word->data(), word->size()));
  --size_;
  return std::string(*word);
}

void Words::trim_free_tail() {
  while (slot_count_ > 0 && !word(static_cast<uint32_t>(slot_count_ - 1))) --slot_count_;
}

}  // namespace tarnwick::inverted
