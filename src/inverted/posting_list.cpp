#include "inverted/posting_list.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

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

// Makes room for `extra` more elements, growing by an eighth (by two at least) when the capacity
// runs out. The C library's blocks hold 24, 40, 56... bytes (16k + 8): what of the block the
// elements would leave unused is taken too, which saves a move of a short array at nearly every
// posting it gains.
template <class T>
void reserve_more(std::vector<T>& v, size_t extra) {
  const size_t needed = v.size() + extra;
  if (needed <= v.capacity()) return;
  const size_t wanted = std::max(needed, v.capacity() + v.capacity() / 8 + 2) * sizeof(T);
  const size_t block = std::max<size_t>(24, (wanted + 7) / 16 * 16 + 8);
  v.reserve(block / sizeof(T));
}

}  // namespace

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

PostingList::PostingList(const PostingList& other) : PostingList() {
  entries_.reserve(other.size());
  bytes_.reserve(other.position_size());
  for (const auto& part : {other.borrowed_entries_, std::span<const Entry>(other.entries_)}) {
    entries_.insert(entries_.end(), part.begin(), part.end());
  }
  for (const auto& part : other.position_parts()) bytes_.insert(bytes_.end(), part.begin(), part.end());
}

PostingList& PostingList::operator=(const PostingList& other) {
  if (this != &other) *this = PostingList(other);
  return *this;
}

void PostingList::EntryCheck::add(std::span<const uint8_t> entry_bytes) {
  for (size_t at = 0; at + kEntrySize <= entry_bytes.size(); at += kEntrySize) {
    Entry entry;
    std::memcpy(&entry, entry_bytes.data() + at, kEntrySize);
    if (entry.end < end_ || (count_ > 0 && !(last_id_ < entry.doc_id()))) ok_ = false;
    end_ = entry.end;
    last_id_ = entry.doc_id();
    ++count_;
  }
}

void PostingList::BlockBound::add(uint32_t tf, uint32_t length) {
  if (tf == 0) return;  // scores nothing
  const double ratio = static_cast<double>(length) / tf;
  float rounded = static_cast<float>(ratio);
  if (rounded > ratio) rounded = std::nextafter(rounded, 0.0f);
  min_ratio = std::min(min_ratio, rounded);
  max_tf = std::max(max_tf, tf);
}

uint8_t PostingList::length_code(uint32_t length) {
  if (length < 32) return static_cast<uint8_t>(length);
  if (length >= length_floor(255)) return 255;
  // The top five bits of `length`, shifted by `shift`.
  const int shift = std::bit_width(length) - 5;
  return static_cast<uint8_t>((shift + 1) << 4 | ((length >> shift) - 16));
}

std::optional<PostingList> PostingList::borrowing(std::span<const uint8_t> entry_bytes,
                                                  std::span<const uint8_t> position_bytes,
                                                  std::span<const uint8_t> bounds) {
  EntryCheck check;
  check.add(entry_bytes);
  return borrowing(entry_bytes, position_bytes, bounds, check);
}

std::optional<PostingList> PostingList::borrowing(std::span<const uint8_t> entry_bytes,
                                                  std::span<const uint8_t> position_bytes,
                                                  std::span<const uint8_t> bounds,
                                                  const EntryCheck& check) {
  const size_t postings = entry_bytes.size() / kEntrySize;
  if (entry_bytes.size() % kEntrySize != 0 || check.count_ != postings ||
      reinterpret_cast<uintptr_t>(entry_bytes.data()) % alignof(Entry) != 0 ||
      position_bytes.size() > kMaxPositionBytes || !check.passed(position_bytes.size())) {
    return std::nullopt;
  }
  if (!bounds.empty() && (bounds.size() != bounds_size(postings) ||
                          reinterpret_cast<uintptr_t>(bounds.data()) % alignof(BlockBound) != 0)) {
    return std::nullopt;
  }
  PostingList list;
  list.borrowed_entries_ = std::span<const Entry>(reinterpret_cast<const Entry*>(entry_bytes.data()),
                                                  postings);
  if (!bounds.empty()) {
    list.borrowed_blocks_ = std::span<const BlockBound>(
        reinterpret_cast<const BlockBound*>(bounds.data()), block_count(postings));
    list.borrowed_lengths_ = bounds.subspan(block_count(postings) * sizeof(BlockBound), postings);
  }
  list.borrowed_bytes_ = position_bytes;
  list.borrowed_last_id_ = check.last_id_;
  list.borrowed_skips_.reserve(postings / kSkipRun);
  for (size_t last = kSkipRun - 1; last < postings; last += kSkipRun) {
    list.borrowed_skips_.push_back(list.doc_id(last));
  }
  return list;
}

PostingList::Parts PostingList::entry_parts() const {
  auto bytes = [](std::span<const Entry> entries) {
    return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(entries.data()),
                                    entries.size() * kEntrySize);
  };
  return {bytes(borrowed_entries_), bytes(entries_)};
}

void PostingList::own() {
  if (!borrowed()) return;
  entries_.insert(entries_.begin(), borrowed_entries_.begin(), borrowed_entries_.end());
  bytes_.insert(bytes_.begin(), borrowed_bytes_.begin(), borrowed_bytes_.end());
  borrowed_entries_ = {};
  borrowed_bytes_ = {};
  borrowed_blocks_ = {};
  borrowed_lengths_ = {};
  borrowed_last_id_ = 0;
  borrowed_skips_ = {};
}

bool PostingList::append(uint128 doc_id, std::span<const uint32_t> positions) {
  size_t added = 0;
  uint32_t previous = 0;
  for (uint32_t position : positions) {
    added += leb128_size(position - previous);
    previous = position;
  }
  if (position_size() + added > kMaxPositionBytes) return false;
  reserve_more(bytes_, added);
  previous = 0;
  for (uint32_t position : positions) {
    put_leb128(bytes_, position - previous);
    previous = position;
  }
  reserve_more(entries_, 1);
  entries_.push_back(Entry::make(doc_id, static_cast<uint32_t>(position_size())));
  return true;
}

bool PostingList::insert(uint128 doc_id, std::span<const uint32_t> positions) {
  // A new document's id is above every other: no search for its place.
  if (empty() || last_doc_id() < doc_id) return append(doc_id, positions);
  own();
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
  for (size_t i = 1; i < size(); ++i) {
    if (doc_id(i) < doc_id(i - 1)) return false;
  }
  return true;
}

PostingList PostingList::sorted() const {
  std::vector<size_t> order(size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [this](size_t a, size_t b) { return doc_id(a) < doc_id(b); });
  PostingList out;
  out.entries_.reserve(size());
  out.bytes_.reserve(position_size());
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
  out.bytes_.reserve(position_size());
  for (size_t i = size(); i-- > 0;) out.copy_posting(*this, i);
  return out;
}

}  // namespace tarnwick::inverted
