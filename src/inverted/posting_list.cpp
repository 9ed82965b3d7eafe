#include "inverted/posting_list.hpp"

#include <algorithm>

namespace tarnwick::inverted {

namespace {

// Bytes the LEB128 form of `value` takes: 1 to 5.
size_t leb128_size(uint32_t value) {
  size_t size = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++size;
  }
  return size;
}

void put_leb128(std::vector<uint8_t>& out, uint32_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<uint8_t>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<uint8_t>(value));
}

// Makes room for `extra` more elements, growing by an eighth when the capacity runs out.
template <class T>
void reserve_more(std::vector<T>& v, size_t extra) {
  const size_t needed = v.size() + extra;
  if (needed > v.capacity()) v.reserve(std::max(needed, v.capacity() + v.capacity() / 8 + 1));
}

}  // namespace

uint32_t PostingList::position_count(size_t i) const {
  uint32_t count = 0;
  for (uint8_t byte : bytes_of(i)) count += (byte & 0x80) == 0;
  return count;
}

void PostingList::decode_positions(size_t i, std::vector<uint32_t>& out) const {
  out.clear();
  uint32_t position = 0;
  uint32_t delta = 0;
  int shift = 0;
  for (uint8_t byte : bytes_of(i)) {
    delta |= static_cast<uint32_t>(byte & 0x7F) << shift;
    if (byte & 0x80) {
      shift += 7;
      continue;
    }
    position += delta;
    out.push_back(position);
    delta = 0;
    shift = 0;
  }
}

PostingList::PostingList(const PostingList& other)
    : entries_(other.entries().begin(), other.entries().end()),
      bytes_(other.bytes().begin(), other.bytes().end()) {}

PostingList& PostingList::operator=(const PostingList& other) {
  if (this != &other) *this = PostingList(other);
  return *this;
}

std::optional<PostingList> PostingList::borrowing(std::span<const uint8_t> entry_bytes,
                                                  std::span<const uint8_t> position_bytes) {
  if (entry_bytes.size() % kEntrySize != 0 ||
      reinterpret_cast<uintptr_t>(entry_bytes.data()) % alignof(Entry) != 0 ||
      position_bytes.size() > kMaxPositionBytes) {
    return std::nullopt;
  }
  const std::span<const Entry> entries(reinterpret_cast<const Entry*>(entry_bytes.data()),
                                       entry_bytes.size() / kEntrySize);
  if (entries.empty() || entries.back().end != position_bytes.size()) return std::nullopt;
  uint32_t end = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].end < end || (i > 0 && !(entries[i - 1].doc_id() < entries[i].doc_id()))) {
      return std::nullopt;
    }
    end = entries[i].end;
  }
  PostingList list;
  list.borrowed_entries_ = entries;
  list.borrowed_bytes_ = position_bytes;
  return list;
}

std::span<const uint8_t> PostingList::entry_bytes() const {
  const auto all = entries();
  return {reinterpret_cast<const uint8_t*>(all.data()), all.size() * kEntrySize};
}

void PostingList::own() {
  if (!borrowed()) return;
  entries_.assign(borrowed_entries_.begin(), borrowed_entries_.end());
  bytes_.assign(borrowed_bytes_.begin(), borrowed_bytes_.end());
  borrowed_entries_ = {};
  borrowed_bytes_ = {};
}

size_t PostingList::lower_bound(uint128 doc_id, size_t from) const {
  const auto all = entries();
  auto it = std::partition_point(all.begin() + static_cast<ptrdiff_t>(from), all.end(),
                                 [doc_id](const Entry& e) { return e.doc_id() < doc_id; });
  return static_cast<size_t>(it - all.begin());
}

bool PostingList::append(uint128 doc_id, std::span<const uint32_t> positions) {
  own();
  size_t added = 0;
  uint32_t previous = 0;
  for (uint32_t position : positions) {
    added += leb128_size(position - previous);
    previous = position;
  }
  if (bytes_.size() + added > kMaxPositionBytes) return false;
  reserve_more(bytes_, added);
  previous = 0;
  for (uint32_t position : positions) {
    put_leb128(bytes_, position - previous);
    previous = position;
  }
  reserve_more(entries_, 1);
  entries_.push_back(Entry::make(doc_id, static_cast<uint32_t>(bytes_.size())));
  return true;
}

bool PostingList::insert(uint128 doc_id, std::span<const uint32_t> positions) {
  own();
  // A new document's id is above every other: no search for its place.
  if (entries_.empty() || entries_.back().doc_id() < doc_id) return append(doc_id, positions);
  const size_t place = lower_bound(doc_id);
  if (!append(doc_id, positions)) return false;
  const size_t last = entries_.size() - 1;
  if (place == last) return true;
  // Move the new posting's bytes and entry in front of those of the later postings.
  const uint32_t begin = begin_of(place);
  const uint32_t added = entries_[last].end - entries_[last - 1].end;
  std::rotate(bytes_.begin() + begin, bytes_.begin() + entries_[last - 1].end, bytes_.end());
  for (size_t i = last; i > place; --i) {
    entries_[i] = Entry::make(entries_[i - 1].doc_id(), entries_[i - 1].end + added);
  }
  entries_[place] = Entry::make(doc_id, begin + added);
  return true;
}

bool PostingList::is_sorted() const {
  return std::ranges::is_sorted(entries(),
                        [](const Entry& a, const Entry& b) { return a.doc_id() < b.doc_id(); });
}

PostingList PostingList::sorted() const {
  const auto all = entries();
  std::vector<size_t> order(all.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [all](size_t a, size_t b) { return all[a].doc_id() < all[b].doc_id(); });
  PostingList out;
  out.entries_.reserve(all.size());
  out.bytes_.reserve(bytes().size());
  for (size_t i : order) out.copy_posting(*this, i);
  return out;
}

void PostingList::copy_posting(const PostingList& from, size_t i) {
  const auto posting = from.bytes_of(i);
  bytes_.insert(bytes_.end(), posting.begin(), posting.end());
  entries_.push_back(Entry::make(from.doc_id(i), static_cast<uint32_t>(bytes_.size())));
}

PostingList PostingList::reversed() const {
  PostingList out;
  out.entries_.reserve(size());
  out.bytes_.reserve(bytes().size());
  for (size_t i = size(); i-- > 0;) out.copy_posting(*this, i);
  return out;
}

}  // namespace tarnwick::inverted
