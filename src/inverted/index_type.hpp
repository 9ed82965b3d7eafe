// Index: the inverted index in memory, each token id's posting list; and IndexTotals, what opening
// needs to know of all its postings, kept up to date so that it need not walk them.
#pragma once

#include <cstdint>

#include "absl/container/flat_hash_map.h"
#include "inverted/posting_list.hpp"
#include "utils/posting_hash.hpp"

namespace tarnwick::inverted {

// Token id to posting list. Keys are hashed by absl's integer mix: the table takes its probe
// position from the high hash bits, so the bare ids, dense from 0, would crowd into a few groups.
using Index = absl::flat_hash_map<uint32_t, PostingList>;

using utils::posting_hash;

// Over every posting of an index: the sum (modulo 2^64) of posting_hash, which the engine holds
// against the same sum over its documents' records; and a document id no posting is above.
struct IndexTotals {
  uint64_t posting_sum = 0;
  uint128 largest_doc_id = 0;

  void add(uint128 doc_id, uint32_t token_id) {
    posting_sum += posting_hash(doc_id, token_id);
    if (doc_id > largest_doc_id) largest_doc_id = doc_id;
  }
  void remove(uint128 doc_id, uint32_t token_id) { posting_sum -= posting_hash(doc_id, token_id); }

  static IndexTotals of(const Index& index) {
    IndexTotals totals;
    for (const auto& [token_id, list] : index) {
      for (size_t i = 0; i < list.size(); ++i) totals.add(list.doc_id(i), token_id);
    }
    return totals;
  }
  bool operator==(const IndexTotals&) const = default;
};

}  // namespace tarnwick::inverted
