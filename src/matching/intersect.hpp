// PostingListIntersection: the candidates of a query, in ascending document id: documents holding
// at least one match of every query token, where a match of a query token is any indexed token
// the trie finds within the token's fuzziness. Every such document that holds an interval of the
// query (mis.hpp) is a candidate; some that hold none are passed over, and the caller tests the
// others for one.
//
// Each query token has a min-heap of cursors, one per matching token, each on one posting of that
// token's list; the heap is ordered by the postings' document ids. A candidate is found by
// leapfrogging, led by the query token with the fewest postings: the other heaps, shorter lists
// first, skip ahead to the lead's document by galloping search in their posting lists, and the
// lead to any document one of them skips to, until every heap agrees on one document. With three
// query tokens or more, each of one matching token as in a phrase without fuzziness, a document
// the two shortest lists share is passed over, before the longer ones are searched, when the
// positions of those two cannot be picks of one interval.
//
// Fuzzy alternatives are accepted only when the fuzziness is below the byte length of both the
// query token and the found token, so short words match only themselves.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "absl/functional/function_ref.h"
#include "analysis/tokenizer.hpp"
#include "inverted/layered_index.hpp"
#include "matching/mis.hpp"
#include "inverted/token_hasher.hpp"
#include "utils/trie.hpp"

namespace tarnwick::matching {

using uint128 = unsigned __int128;

class PostingListIntersection {
 public:
  // Nothing when there are no query tokens, or some query token matches no indexed token. An
  // exact token is looked up in the dictionary; `trie` is asked for only when a token is fuzzy.
  // REQUIRES: `index` outlives the intersection and does not change meanwhile.
  static std::optional<PostingListIntersection> create(
      const analysis::TokenizedQuery& query, const inverted::LayeredIndex& index,
      const inverted::TokenHasher& tokens, absl::FunctionRef<const utils::Trie&()> trie);

  // Moves to the next candidate; false when there is none. Every document comes at most once.
  bool next();

  // The most a posting of a block of a query token's alternative can add to a document's score,
  // from the block's bound, the alternative's df and its edit distance.
  using BlockScore = absl::FunctionRef<double(const inverted::PostingList::BlockBound&,
                                              uint64_t df, uint16_t distance)>;
  // `next`, passing over documents that cannot score above `floor` by the blocks their postings
  // lie in. A document is worth at most the sum over query tokens of the best of their
  // alternatives' terms there; while every alternative's next postings lie in blocks whose
  // scores give at most `floor` that way, the documents up to the end of the first of those
  // blocks are passed over. With one query token, a block of one alternative is passed over on
  // its own, as is a posting that its tf and the floor of its document's length bound to at most
  // `floor`. REQUIRES: `floor` is never lower than at the call before.
  bool next(BlockScore score, double floor);

  // The current candidate's document.
  uint128 doc_id() const { return current_[0][0].doc_id; }

  // The current candidate's matching tokens with their positions there, ordered by query token,
  // decoded on the first call for the candidate. The views stay valid until the next call of
  // `next`.
  std::span<const TermPositions> terms();

  // The same tokens in the same order with their counts only, which reads no position: what
  // bounds the candidate's score. A tf is bounded by its positions' bytes, which most often are
  // one each: a candidate the bound rejects then costs no read of its positions, which lie apart
  // from the entries (measured 3-18% off the 99th percentile of phrases at 1,000,000 documents,
  // bench/README.md). Valid until the next call of `next` or `counts`.
  std::span<const TermCount> counts();
  // The least length the current candidate can have, as the length codes of its postings tell; 0
  // when they tell nothing. Set by `counts`.
  uint32_t min_length() const { return min_length_; }

  uint32_t group_count() const { return static_cast<uint32_t>(heaps_.size()); }

 private:
  // The tfs below this have their long codes kept (Alternative::long_codes).
  static constexpr uint32_t kLongCodeTfs = 16;
  // A length code no posting has: a code at least this long passes over nothing.
  static constexpr uint16_t kNoLongCode = 256;
  static constexpr std::array<uint16_t, kLongCodeTfs> kNoLongCodes = [] {
    std::array<uint16_t, kLongCodeTfs> codes{};
    codes.fill(kNoLongCode);
    return codes;
  }();
  // One matching token of a query token. For each tf t below kLongCodeTfs, `long_codes[t]`
  // is a length code (inverted::PostingList::length_code) from which on a posting of t
  // occurrences cannot lift its document above `long_floor`; the codes of the tfs in `fresh`
  // (a bit each) were brought to `long_floor` itself, the others to a lower floor: found for a
  // lower floor, a code is only too long, which passes over too little but never too much.
  struct Alternative {
    const inverted::PostingList* postings;
    uint32_t token_id;
    uint16_t distance;
    double long_floor = -std::numeric_limits<double>::infinity();
    uint32_t fresh = 0;
    std::array<uint16_t, kLongCodeTfs> long_codes = kNoLongCodes;
  };
  // A cursor on posting `index` of its alternative's list. The block of its posting ends before
  // posting `block_end`, has the bound `block_bound` (null when it has none) and scores at most
  // `block_score` (next(BlockScore, double)); all three are set when first asked for, and when
  // the cursor has passed `block_end`.
  struct Cursor {
    uint128 doc_id;
    uint32_t index;
    uint32_t alternative;
    uint32_t block_end = 0;
    double block_score = 0;
    const inverted::PostingList::BlockBound* block_bound = nullptr;
  };
  // Per query token: its alternatives and the heap of their cursors.
  struct Heap {
    std::vector<Alternative> alternatives;
    std::vector<Cursor> cursors;
  };

  // Pushes a cursor on the first posting of the alternative, whose list is not empty.
  static void push(Heap& heap, uint32_t alternative);
  // Moves the cursor on the heap's top to posting `index` of its list, or drops it when the list
  // ends before that, and restores the heap's order.
  static void move_top(Heap& heap, size_t index);
  // Sets the block of `cursor` (Cursor::block_end) when it has passed the last; +inf for a block
  // without a bound.
  static void find_block(const Heap& heap, Cursor& cursor, BlockScore score);
  // The least length code from which on a posting of `tf` occurrences (below kLongCodeTfs)
  // cannot lift its document above `floor`, a posting being worth at most what a block of
  // postings of that tf and of the code's length floor would be.
  static uint16_t long_code(Alternative& alternative, uint32_t tf, BlockScore score,
                            double floor) {
    if (floor == alternative.long_floor && (alternative.fresh >> tf & 1u) != 0) {
      return alternative.long_codes[tf];
    }
    return find_long_code(alternative, tf, score, floor);
  }
  // long_code, brought to `floor`. Floors only rise during a query, and so a code is searched for
  // below the one found for the last floor.
  static uint16_t find_long_code(Alternative& alternative, uint32_t tf, BlockScore score,
                                 double floor);
  // The first posting from the cursor on the heap's top to the end of its block that may lift
  // its document above `floor` by its tf and the floor of its document's length, or the block's
  // end.
  static size_t first_may_beat(Heap& heap, const Cursor& top, BlockScore score, double floor);
  // Moves the cursor on the heap's top past the blocks scoring at most `floor`, and past the
  // postings that first_may_beat passes over, and the next cursor on top so on, until one is on
  // a posting that may score more, or none is left.
  static void pass_low_blocks(Heap& heap, BlockScore score, double floor);
  // Whether the documents from the heaps' tops up to the end of the first of their cursors'
  // blocks score at most `floor`: then every heap is moved past them. False when there are none
  // to pass over.
  bool passed_low_run(BlockScore score, double floor);
  // Moves every cursor of `heap` below `target` to its first posting at or above it. Inline for
  // a heap of one cursor, which moves in place: every query token of a phrase without fuzziness
  // has one, and leapfrogging such heaps is most of a phrase's work.
  static void advance(Heap& heap, uint128 target) {
    if (heap.cursors.size() == 1) {
      advance_lone(heap, target);
    } else {
      advance_many(heap, target);
    }
  }
  static void advance_many(Heap& heap, uint128 target);
  // A lone cursor's list and place, apart from its heap: the leapfrog of next() steps copies of
  // them when every query token has one alternative, each read from one array rather than
  // through the heaps and their alternatives (measured 6-12% off phrases at 1,000,000
  // documents, bench/README.md).
  struct LoneCursor {
    const inverted::PostingList* postings;
    uint128 doc_id;
    uint32_t index;
  };
  // Moves `cursor` to its first posting at or above `target`; false when its list has none.
  static bool advance_lone(LoneCursor& cursor, uint128 target) {
    if (!(cursor.doc_id < target)) return true;
    const inverted::PostingList& postings = *cursor.postings;
    const size_t found = postings.lower_bound(target, cursor.index + 1);
    if (found == postings.size()) return false;
    // The next target is most often a few postings on: their entries are on their way meanwhile.
    postings.prefetch(found + 16);
    cursor.doc_id = postings.doc_id(found);
    cursor.index = static_cast<uint32_t>(found);
    return true;
  }
  static void advance_lone(Heap& heap, uint128 target) {
    Cursor& cursor = heap.cursors.front();
    LoneCursor lone{heap.alternatives[cursor.alternative].postings, cursor.doc_id, cursor.index};
    if (!advance_lone(lone, target)) {
      heap.cursors.clear();
      return;
    }
    cursor.doc_id = lone.doc_id;
    cursor.index = lone.index;
  }
  // The leapfrog of next() over the cursors of every heap, in lone_; false when some list ends
  // first.
  bool leapfrog_lone();
  // Whether the postings the first two cursors of lone_ are on can be picks of one interval, by
  // their positions: what spares the longer lists of a phrase of three or more words a search
  // for most documents the two shorter ones share.
  bool first_two_may_match();
  // Takes the cursors on the heap's smallest document id into `group`, each cursor moved on to
  // its next posting. `group` is left empty when the heap is exhausted.
  static void next_docs(Heap& heap, std::vector<Cursor>& group) {
    if (heap.cursors.size() != 1) {
      next_docs_many(heap, group);
      return;
    }
    // A lone cursor, as advance() has it.
    Cursor& cursor = heap.cursors.front();
    group.assign(1, cursor);
    const inverted::PostingList& postings = *heap.alternatives[cursor.alternative].postings;
    if (cursor.index + 1 == postings.size()) {
      heap.cursors.clear();
    } else {
      cursor.doc_id = postings.doc_id(++cursor.index);
    }
  }
  static void next_docs_many(Heap& heap, std::vector<Cursor>& group);

  std::vector<Heap> heaps_;
  std::vector<uint32_t> order_;  // of the heaps, by their postings in all, fewest first
  // In the heaps' leapfrog order, when every heap has one alternative: else empty.
  std::vector<LoneCursor> lone_;
  uint8_t proximity_ = 0;
  std::array<std::vector<uint32_t>, 2> pair_;  // the positions first_two_may_match decodes
  std::vector<std::vector<Cursor>> current_;  // per query token, the last candidate's cursors
  std::vector<TermPositions> terms_;
  std::vector<TermCount> counts_;
  uint32_t min_length_ = 0;
  std::vector<std::vector<uint32_t>> positions_;  // decoded positions behind terms_
  bool decoded_ = false;  // terms_ are the current candidate's
};

}  // namespace tarnwick::matching
