// PostingListIntersection: the documents holding at least one match of every query token, in
// ascending document id, where a match of a query token is any indexed token the trie finds
// within the token's fuzziness.
//
// Each query token has a min-heap of cursors, one per matching token, each on one posting of that
// token's list; the heap is ordered by the postings' document ids. A candidate is found by
// leapfrogging: the heaps that lag behind the largest document id seen so far skip ahead to it
// by binary search in their posting lists, until every heap agrees on one document.
//
// Fuzzy alternatives are accepted only when the fuzziness is below the byte length of both the
// query token and the found token, so short words match only themselves.
#pragma once

#include <cstdint>
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

  // Whether a block of postings of a query token's alternative may hold a document worth
  // yielding, from the block's bound, the alternative's df and its edit distance.
  using BlockTest = absl::FunctionRef<bool(const inverted::PostingList::BlockBound&, uint64_t df,
                                           uint16_t distance)>;
  // `next`, passing over the blocks of postings `worth` refuses. Only a query of one token passes
  // over blocks: a document is then worth what the best of its alternatives' terms is, so each
  // alternative's postings can be passed over on their own. With more tokens no block is refused.
  bool next(BlockTest worth);

  // The current candidate's document.
  uint128 doc_id() const { return current_[0][0].doc_id; }

  // The current candidate's matching tokens with their positions there, ordered by query token.
  // The views stay valid until the next call of `next` or `terms`.
  std::span<const TermPositions> terms();

  // The same tokens in the same order with their counts only, which decodes no position: what
  // bounds the candidate's score. Valid until the next call of `next` or `counts`.
  std::span<const TermCount> counts();
  // The least length the current candidate can have, as the bounds of its postings' blocks tell
  // with their counts; 0 when they tell nothing. Set by `counts`.
  uint32_t min_length() const { return min_length_; }

  uint32_t group_count() const { return static_cast<uint32_t>(heaps_.size()); }

 private:
  // One matching token of a query token.
  struct Alternative {
    const inverted::PostingList* postings;
    uint32_t token_id;
    uint16_t distance;
  };
  // A cursor on posting `index` of its alternative's list. The postings below `passed_end` are
  // in blocks let through (next(BlockTest)).
  struct Cursor {
    uint128 doc_id;
    uint32_t index;
    uint32_t alternative;
    uint32_t passed_end;
  };
  // Per query token: its alternatives and the heap of their cursors.
  struct Heap {
    std::vector<Alternative> alternatives;
    std::vector<Cursor> cursors;
  };

  // Pushes a cursor on posting `index` of the alternative, unless the list ends before it.
  static void push(Heap& heap, uint32_t alternative, size_t index, uint32_t passed_end = 0);
  // Moves the cursor on the heap's top past the blocks `worth` refuses, and the next cursor on
  // top so on, until one is in a block let through, or none is left.
  static void pass_refused_blocks(Heap& heap, BlockTest worth);
  // Moves every cursor of `heap` below `target` to its first posting at or above it.
  static void advance(Heap& heap, uint128 target);
  // Takes the cursors on the heap's smallest document id into `group`, each cursor moved on to
  // its next posting. `group` is left empty when the heap is exhausted.
  static void next_docs(Heap& heap, std::vector<Cursor>& group);

  std::vector<Heap> heaps_;
  std::vector<std::vector<Cursor>> current_;  // per query token, the last candidate's cursors
  std::vector<TermPositions> terms_;
  std::vector<TermCount> counts_;
  uint32_t min_length_ = 0;
  std::vector<std::vector<uint32_t>> positions_;  // decoded positions behind terms_
};

}  // namespace tarnwick::matching
