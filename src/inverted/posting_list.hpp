// PostingList: the postings of one token, in ascending document id. The index keeps every posting in memory, so the list is stored compactly rather
// than as one object per posting:
//   entries_  per posting its document id and the end of its positions in bytes_: 20 bytes, no
//             padding (the id as four 32-bit words, so the array needs only 4-byte alignment);
//   bytes_    every posting's positions one after the other, each posting's delta-coded (its
//             first position, then the difference to the one before, modulo 2^32) as LEB128
//             varints: 7 bits per byte, low bits first, the high bit set on every byte but the last.
// Positions are only ever walked in order, so the coding costs nothing at read time; English text
// keeps most gaps below 128, one byte each. Both arrays grow by an eighth rather than doubling,
// to keep their unused tails short. Measured over the postings of 100,000 documents of 1 KB of
// English (5.5 million postings, 2.0 positions each), the whole index, hash table included, takes
// 24.9 bytes per posting after inserting them (about 1 of which per position) and 22.5 after
// loading them from the logs (loaded lists have no unused capacity).
//
// A list may also borrow both arrays from memory it does not own (a mapped snapshot of the index,
// snapshot.hpp) and read them in place: its postings are then those borrowed, followed by those
// of its own arrays. A posting appended goes to its own arrays, the borrowed ones staying where
// they are; any other change copies them first. An own entry's end counts the borrowed bytes
// too, so that both parts written one after the other make a list.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "utils/gallop.hpp"

namespace tarnwick::inverted {

using uint128 = unsigned __int128;

class PostingList {
 public:
  // The most position bytes one list holds; entries_ locate them with 32-bit offsets.
  static constexpr uint64_t kMaxPositionBytes = UINT32_MAX;

  // The bytes of one posting's entry in `entry_bytes` below.
  static constexpr size_t kEntrySize = 20;
  // lower_bound finds a target past the run of postings it starts in among the last ids of runs
  // of this many borrowed postings (16 bytes a run) before it looks at the run's entries.
  static constexpr size_t kSkipRun = 32;

  // Postings are bounded by blocks of kBlockSize, the first block starting the list (the last
  // may hold fewer): queries pass over a block none of whose postings can score high enough.
  static constexpr size_t kBlockSize = 64;
  // What bounds the scores of one block's postings: their largest tf, and the smallest ratio of a
  // document's length (its number of distinct tokens) to the posting's tf, rounded down; a
  // posting of a document whose length was not known counts as one of length 0. A block
  // without postings of positive tf has no ratio (+inf) and a largest tf of 0.
  struct BlockBound {
    float min_ratio;
    uint32_t max_tf;

    // Takes in a posting of `tf` positions whose document has `length` distinct tokens.
    void add(uint32_t tf, uint32_t length);
    bool operator==(const BlockBound&) const = default;
  };
  static_assert(sizeof(BlockBound) == 8);
  static constexpr BlockBound kNoPostings = {std::numeric_limits<float>::infinity(), 0};
  // The blocks of `postings` postings.
  static constexpr size_t block_count(size_t postings) {
    return (postings + kBlockSize - 1) / kBlockSize;
  }

  // Each posting also has a floor of its document's length, in a byte: lengths below 32 as they
  // are, larger ones rounded down to 5 significant bits (at most 1/16 below), those past 507,904
  // to that. The code of `length`, and the floor a code stands for:
  static uint8_t length_code(uint32_t length);
  static uint32_t length_floor(uint8_t code) {
    return code < 32 ? code : uint32_t{16 + (code & 15u)} << ((code >> 4) - 1);
  }

  // The bounds of a list of `postings` postings as a snapshot keeps them beside its arrays: the
  // BlockBound of each block, then the length code of each posting, padded with zeros to a
  // multiple of 4 bytes.
  static constexpr size_t bounds_size(size_t postings) {
    return block_count(postings) * sizeof(BlockBound) + (postings + 3) / 4 * 4;
  }

  PostingList() = default;
  PostingList(PostingList&& other) noexcept = default;
  PostingList& operator=(PostingList&& other) noexcept = default;
  PostingList(const PostingList& other);
  PostingList& operator=(const PostingList& other);

  // Both arrays in two parts, the borrowed one and the list's own, to be laid end to end.
  using Parts = std::array<std::span<const uint8_t>, 2>;

  // Whether entries make a list, given them in order, a whole number of entries at a time: ends
  // that do not descend, ids that ascend.
  class EntryCheck {
   public:
    void add(std::span<const uint8_t> entry_bytes);
    // Whether the entries given make a list of `position_size` bytes of positions.
    bool passed(uint64_t position_size) const {
      return ok_ && count_ > 0 && end_ == position_size;
    }
    // The end of the last entry given: the size of the positions, when they make a list.
    uint32_t last_end() const { return end_; }

   private:
    friend class PostingList;
    bool ok_ = true;
    uint64_t count_ = 0;
    uint32_t end_ = 0;
    uint128 last_id_ = 0;
  };

  // A list reading `entry_bytes` (kEntrySize bytes a posting, 4-aligned) and `position_bytes`,
  // which must outlive it, in place; as `entry_parts()` and `position_parts()` gave them, laid
  // end to end. Nothing when they do not make a list: entries whose ends do not ascend to the
  // last byte, or ids that do not ascend. Checks every entry, touches no position. `bounds`,
  // when not empty, holds the list's bounds (bounds_size, 4-aligned), which the caller vouches
  // for.
  static std::optional<PostingList> borrowing(std::span<const uint8_t> entry_bytes,
                                              std::span<const uint8_t> position_bytes,
                                              std::span<const uint8_t> bounds = {});
  // The same for entries `check` was given a copy of: touches neither array.
  static std::optional<PostingList> borrowing(std::span<const uint8_t> entry_bytes,
                                              std::span<const uint8_t> position_bytes,
                                              std::span<const uint8_t> bounds,
                                              const EntryCheck& check);
  // Both arrays, for a snapshot: the entries and the positions of every posting.
  Parts entry_parts() const;
  Parts position_parts() const { return {borrowed_bytes_, bytes_}; }
  // Whether some postings are borrowed, and how many: the first ones.
  bool borrowed() const { return !borrowed_entries_.empty(); }
  size_t borrowed_size() const { return borrowed_entries_.size(); }
  // The bounds of the blocks of the borrowed postings, when they were borrowed with them; the
  // last may be of a block the list's own postings complete. The same for their length codes.
  std::span<const BlockBound> borrowed_blocks() const { return borrowed_blocks_; }
  std::span<const uint8_t> borrowed_length_codes() const { return borrowed_lengths_; }
  // A floor of the length of posting i's document, and its code: 0 when its bound was not
  // borrowed with it.
  uint8_t min_length_code(size_t i) const {
    return i < borrowed_lengths_.size() ? borrowed_lengths_[i] : 0;
  }
  uint32_t min_length(size_t i) const { return length_floor(min_length_code(i)); }
  // The block holding posting `i`: where it ends, and its bound when the bound covers every
  // posting of it (null otherwise).
  struct Block {
    const BlockBound* bound;
    size_t end;
  };
  Block block(size_t i) const {
    const size_t b = i / kBlockSize;
    const size_t end = std::min(size(), (b + 1) * kBlockSize);
    const bool covered = b < borrowed_blocks_.size() && end <= borrowed_entries_.size();
    return {covered ? &borrowed_blocks_[b] : nullptr, end};
  }
  // The largest document id, or 0 for an empty list; read without touching the borrowed arrays.
  uint128 last_doc_id() const {
    return !entries_.empty() ? entries_.back().doc_id() : borrowed_last_id_;
  }
  // The bytes the list's own arrays hold, unused capacity included.
  size_t owned_bytes() const { return entries_.capacity() * kEntrySize + bytes_.capacity(); }

  size_t size() const { return borrowed_entries_.size() + entries_.size(); }
  // Asks the processor to bring posting i's entry into its cache, for a read soon after; nothing
  // past the end.
  void prefetch(size_t i) const {
    if (i < size()) __builtin_prefetch(&entry(i));
  }
  bool empty() const { return size() == 0; }

  // REQUIRES: i < size()
  uint128 doc_id(size_t i) const { return entry(i).doc_id(); }
  // The number of positions of posting i (the token's term frequency in that document).
  uint32_t position_count(size_t i) const {
    // Each position's varint ends in a byte whose high bit is clear.
    uint32_t count = 0;
    for (uint8_t byte : bytes_of(i)) count += (byte & 0x80) == 0;
    return count;
  }
  // The bytes of posting i's positions, read from its entry alone: at least their number, since
  // each takes one byte or more.
  uint32_t position_bytes(size_t i) const { return entry(i).end - begin_of(i); }
  // Replaces the contents of `out` with the positions of posting i.
  void decode_positions(size_t i, std::vector<uint32_t>& out) const;

  // The first posting at or after `from` whose document id is not below `doc_id`, or size().
  // REQUIRES: ascending document ids.
  size_t lower_bound(uint128 doc_id, size_t from = 0) const;

  // Appends a posting, after the borrowed ones when there are. Changes nothing and gives false
  // when the list's position bytes would pass kMaxPositionBytes.
  [[nodiscard]] bool append(uint128 doc_id, std::span<const uint32_t> positions);

  // Adds a posting where its id belongs: appended when it is the largest (new documents), moved
  // into place otherwise (a document indexed again), at a cost linear in the postings after it.
  // Fails like append. REQUIRES: ascending ids, and no posting of `doc_id` in the list.
  [[nodiscard]] bool insert(uint128 doc_id, std::span<const uint32_t> positions);

  // Whether the ids ascend, as every list in the index must.
  bool is_sorted() const;

  // Makes room for `postings` postings in all, without their positions.
  void reserve(size_t postings) {
    own();
    entries_.reserve(postings);
  }

  // Removes every posting whose document id satisfies `removed`, keeping the others in order and
  // compacting both arrays in place; `on_removed(doc_id)` runs after each removal, in list order.
  template <class Removed, class OnRemoved>
  void remove_if(Removed&& removed, OnRemoved&& on_removed);

  // The postings in the opposite order, stored without unused capacity.
  PostingList reversed() const;

  // The postings in ascending id order (equal ids keep their order), without unused capacity.
  PostingList sorted() const;

 private:
  struct Entry {
    uint32_t id_words[4];
    // Of this posting's bytes, the borrowed ones counted before the own; it starts where the
    // previous one ends.
    uint32_t end;

    uint128 doc_id() const {
      uint128 id;
      std::memcpy(&id, id_words, sizeof id);
      return id;
    }
    static Entry make(uint128 doc_id, uint32_t end) {
      Entry entry;
      std::memcpy(entry.id_words, &doc_id, sizeof doc_id);
      entry.end = end;
      return entry;
    }
  };
  static_assert(sizeof(Entry) == 20);

  // Appends posting i of `from`; capacity is the caller's business.
  void copy_posting(const PostingList& from, size_t i);
  // Copies the borrowed postings into the list's own arrays, before a change other than an
  // append.
  void own();

  const Entry& entry(size_t i) const {
    const size_t borrowed = borrowed_entries_.size();
    return i < borrowed ? borrowed_entries_[i] : entries_[i - borrowed];
  }
  uint32_t begin_of(size_t i) const { return i == 0 ? 0 : entry(i - 1).end; }
  std::span<const uint8_t> bytes_of(size_t i) const {
    const uint32_t begin = begin_of(i);
    const uint32_t size = entry(i).end - begin;
    const size_t borrowed = borrowed_bytes_.size();
    return i < borrowed_entries_.size() ? borrowed_bytes_.subspan(begin, size)
                                        : std::span<const uint8_t>(bytes_).subspan(begin - borrowed, size);
  }
  // The bytes of positions in all.
  size_t position_size() const { return borrowed_bytes_.size() + bytes_.size(); }

  // The borrowed postings, then the list's own.
  uint128 borrowed_last_id_ = 0;  // of the last borrowed posting
  // The id of the last posting of each whole run of kSkipRun borrowed postings: a dense array
  // that a far target is searched for in first, rather than in entries all over the list.
  std::vector<uint128> borrowed_skips_;
  std::span<const Entry> borrowed_entries_;
  std::span<const uint8_t> borrowed_bytes_;
  std::span<const BlockBound> borrowed_blocks_;
  std::span<const uint8_t> borrowed_lengths_;  // length codes
  std::vector<Entry> entries_;
  std::vector<uint8_t> bytes_;
};

// Inline: leapfrogging lists call it once a step, and most steps find their target a few
// postings on.
inline size_t PostingList::lower_bound(uint128 doc_id, size_t from) const {
  // The borrowed postings when the target is among them, else the list's own: each part is
  // searched on its own, without asking at every step which part a posting lies in. Each first
  // counts the next few postings below the target (utils::look_ahead). A borrowed target past
  // the run `from` lies in is then galloped to over the runs' last ids, and searched for within
  // its run.
  const size_t borrowed = borrowed_entries_.size();
  if (from < borrowed) {
    if (!(borrowed_last_id_ < doc_id)) {
      auto below = [this, doc_id](size_t i) { return borrowed_entries_[i].doc_id() < doc_id; };
      auto run_below = [this, doc_id](size_t r) { return borrowed_skips_[r] < doc_id; };
      return utils::gallop_runs(below, run_below, from, borrowed, borrowed_skips_.size(),
                                kSkipRun);
    }
    from = borrowed;
  }
  auto below = [this, doc_id, borrowed](size_t i) {
    return entries_[i - borrowed].doc_id() < doc_id;
  };
  return utils::gallop_ahead(below, from, size());
}

template <class Removed, class OnRemoved>
void PostingList::remove_if(Removed&& removed, OnRemoved&& on_removed) {
  own();
  size_t kept = 0;
  uint32_t kept_end = 0;
  uint32_t begin = 0;
  for (size_t i = 0; i < entries_.size(); ++i) {
    const Entry entry = entries_[i];
    const uint32_t end = entry.end;
    if (removed(entry.doc_id())) {
      on_removed(entry.doc_id());
    } else {
      if (end > begin) std::memmove(bytes_.data() + kept_end, bytes_.data() + begin, end - begin);
      kept_end += end - begin;
      entries_[kept++] = Entry::make(entry.doc_id(), kept_end);
    }
    begin = end;
  }
  entries_.resize(kept);
  bytes_.resize(kept_end);
}

}  // namespace tarnwick::inverted
