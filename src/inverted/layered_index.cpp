#include "inverted/layered_index.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tarnwick::inverted {

LayeredIndex::LayeredIndex(Snapshot snapshot)
    : snapshot_(std::move(snapshot)), file_(snapshot_->file()) {}

const PostingList* LayeredIndex::find(uint32_t token_id) const {
  return find(token_id, Snapshot::Check::InPlace);
}

const PostingList* LayeredIndex::find(uint32_t token_id, Snapshot::Check check) const {
  if (auto it = changed_.find(token_id); it != changed_.end()) return &it->second;
  if (auto it = read_.find(token_id); it != read_.end()) return it->second.get();
  if (!snapshot_ || shadowed_.contains(token_id)) return nullptr;
  const std::optional<size_t> place = snapshot_->find(token_id);
  return place ? read(*place, token_id, check) : nullptr;
}

const PostingList* LayeredIndex::read(size_t i, uint32_t token_id, Snapshot::Check check) const {
  if (auto list = snapshot_->list(i, check)) {
    auto [it, inserted] = read_.emplace(token_id, std::make_unique<PostingList>(std::move(*list)));
    return it->second.get();
  }
  read_logs();
  auto it = read_.find(token_id);
  return it == read_.end() ? nullptr : it->second.get();
}

void LayeredIndex::read_logs() const {
  snapshot_.reset();
  if (!replay_) {
    damaged_ = true;
    return;
  }
  auto lists = replay_();
  if (!lists) {
    // The logs read when the index opened no longer do: the lists not read in by now are lost to
    // this engine, whose next opening replays the logs or fails.
    damaged_ = true;
    std::fprintf(stderr, "tarnwick: a damaged index snapshot, and index logs that do not read\n");
    return;
  }
  ++logs_reads_;
  for (auto& [token_id, list] : *lists) {
    if (changed_.contains(token_id) || shadowed_.contains(token_id) || read_.contains(token_id)) {
      continue;
    }
    read_.emplace(token_id, std::make_unique<PostingList>(std::move(list)));
  }
}

PostingList* LayeredIndex::change(uint32_t token_id, bool create) {
  if (auto it = changed_.find(token_id); it != changed_.end()) return &it->second;
  PostingList list;
  const bool read_by_query = read_.contains(token_id);
  if (find(token_id, Snapshot::Check::FromFile) != nullptr) {
    auto it = read_.find(token_id);
    list = std::move(*it->second);
    read_.erase(it);
    // Checked as it was read, the borrowed postings are not read again until the next snapshot
    // copies them: out of memory, if a query read them in.
    if (read_by_query) release(list);
  } else if (!create) {
    return nullptr;
  }
  if (snapshot_ && snapshot_->find(token_id)) shadowed_.insert(token_id);
  return &changed_.emplace(token_id, std::move(list)).first->second;
}

void LayeredIndex::release(const PostingList& list) const {
  if (!file_) return;
  for (const auto& part : list.entry_parts()) file_->release(part);
  for (const auto& part : list.position_parts()) file_->release(part);
}

size_t LayeredIndex::size() const {
  return changed_.size() + (snapshot_ ? snapshot_->size() - shadowed_.size() : read_.size());
}

size_t LayeredIndex::owned_bytes() const {
  size_t bytes = 0;
  for (const auto& [token_id, list] : changed_) bytes += list.owned_bytes();
  for (const auto& [token_id, list] : read_) bytes += list->owned_bytes();
  return bytes;
}

bool LayeredIndex::contains(uint32_t token_id) const {
  if (changed_.contains(token_id) || read_.contains(token_id)) return true;
  return snapshot_ && !shadowed_.contains(token_id) && snapshot_->find(token_id).has_value();
}

std::optional<uint32_t> LayeredIndex::largest_token_id() const {
  std::optional<uint32_t> largest;
  auto consider = [&](uint32_t token_id) { largest = std::max(largest.value_or(0), token_id); };
  for (const auto& [token_id, list] : changed_) consider(token_id);
  for (const auto& [token_id, list] : read_) consider(token_id);
  // The snapshot's lists ascend in token id.
  for (size_t i = snapshot_ ? snapshot_->size() : 0; i-- > 0;) {
    if (const uint32_t token_id = snapshot_->token_id(i); !shadowed_.contains(token_id)) {
      consider(token_id);
      break;
    }
  }
  return largest;
}

uint64_t LayeredIndex::posting_count() const {
  uint64_t count = 0;
  for (const auto& [token_id, list] : changed_) count += list.size();
  if (!snapshot_) {
    for (const auto& [token_id, list] : read_) count += list->size();
    return count;
  }
  for (size_t i = 0; i < snapshot_->size(); ++i) {
    if (!shadowed_.contains(snapshot_->token_id(i))) count += snapshot_->stored(i).postings;
  }
  return count;
}

void LayeredIndex::for_each(absl::FunctionRef<void(uint32_t, const PostingList&)> visit) const {
  // Everything is read in first: a list failing its check drops the snapshot part way.
  for (size_t i = 0; snapshot_ && i < snapshot_->size(); ++i) {
    const uint32_t token_id = snapshot_->token_id(i);
    if (!shadowed_.contains(token_id) && !read_.contains(token_id)) read(i, token_id);
  }
  for (const auto& [token_id, list] : changed_) visit(token_id, list);
  for (const auto& [token_id, list] : read_) visit(token_id, *list);
}

ListBounds list_bounds(const PostingList& list, const DocumentLengths& lengths) {
  const auto borrowed = list.borrowed_blocks();
  const auto borrowed_codes = list.borrowed_length_codes();
  // The blocks borrowed whole: all of them, unless the list's own postings complete the last.
  const size_t whole = borrowed_codes.size() == list.size()
                           ? borrowed.size()
                           : borrowed_codes.size() / PostingList::kBlockSize;
  ListBounds bounds;
  bounds.borrowed_blocks = {reinterpret_cast<const uint8_t*>(borrowed.data()),
                            whole * sizeof(PostingList::BlockBound)};
  bounds.borrowed_codes = borrowed_codes;
  std::vector<PostingList::BlockBound> blocks;
  // The codes end padded to a multiple of 4 bytes.
  const size_t codes_size = (list.size() + 3) / 4 * 4 - borrowed_codes.size();
  blocks.reserve(PostingList::block_count(list.size()) - whole);
  bounds.codes.reserve(codes_size);
  size_t cursor = 0;
  for (size_t b = whole; b < PostingList::block_count(list.size()); ++b) {
    PostingList::BlockBound bound = b < borrowed.size() ? borrowed[b] : PostingList::kNoPostings;
    const size_t end = std::min(list.size(), (b + 1) * PostingList::kBlockSize);
    for (size_t i = std::max(b * PostingList::kBlockSize, borrowed_codes.size()); i < end; ++i) {
      const uint32_t length = lengths(list.doc_id(i), cursor);
      bound.add(list.position_count(i), length);
      bounds.codes.push_back(PostingList::length_code(length));
    }
    blocks.push_back(bound);
  }
  bounds.blocks.resize(blocks.size() * sizeof(PostingList::BlockBound));
  if (!blocks.empty()) std::memcpy(bounds.blocks.data(), blocks.data(), bounds.blocks.size());
  bounds.codes.resize(codes_size);
  return bounds;
}

std::vector<SnapshotList> LayeredIndex::snapshot_lists(const DocumentLengths& lengths) const {
  std::vector<SnapshotList> lists;
  lists.reserve(size());
  // Checksummed below, once in the order of the snapshot they borrow from.
  auto add = [&](uint32_t token_id, const PostingList& list) {
    lists.push_back({token_id, static_cast<uint32_t>(list.size()), list.entry_parts(),
                     list.position_parts(), 0, {}});
  };
  for (const auto& [token_id, list] : changed_) {
    if (!list.empty()) add(token_id, list);
  }
  if (snapshot_) {
    for (size_t i = 0; i < snapshot_->size(); ++i) {
      if (!shadowed_.contains(snapshot_->token_id(i))) lists.push_back(snapshot_->stored(i));
    }
  } else {
    for (const auto& [token_id, list] : read_) add(token_id, *list);
  }
  std::sort(lists.begin(), lists.end(),
            [](const SnapshotList& a, const SnapshotList& b) { return a.token_id < b.token_id; });
  // What is read of the snapshot to checksum a list is read again when the new one is written:
  // meanwhile out of memory.
  utils::ReleaseBehind release(file_.get());
  for (SnapshotList& list : lists) {
    const auto changed = changed_.find(list.token_id);
    if (changed == changed_.end() && snapshot_) continue;  // stored: checksummed already
    list.bounds = list_bounds(changed != changed_.end() ? changed->second : *read_.at(list.token_id),
                              lengths);
    const auto bounds = list.bounds.parts();
    list.checksum = list_checksum(list.entries, list.positions, bounds);
    for (const auto& part : list.entries) release.read(part);
    for (const auto& part : list.positions) release.read(part);
    for (const auto& part : bounds) release.read(part);
  }
  return lists;
}

}  // namespace tarnwick::inverted
