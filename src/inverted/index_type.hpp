// Index: the inverted index in memory, each token id's posting list; and IndexTotals, what opening
// needs to know of all its postings, kept up to date so that it need not walk them.
#pragma once

#include <cstdint>

#include "absl/container/flat_hash_map.h"
#include "inverted/posting_list.hpp"

namespace tarnwick::inverted {

// Token id to posting list. Keys are hashed by absl's integer mix: the table takes its probe
// position from the high hash bits, so the bare ids, dense from 0, would crowd into a few groups.
using Index = absl::flat_hash_map<uint32_t, PostingList>;

// A 64-bit hash of one posting's (document, token) pair, the same on every run and build, so
// that sums of it can be stored.
inline uint64_t posting_hash(uint128 doc_id, uint32_t token_id) {
  uint64_t h = static_cast<uint64_t>(doc_id) ^ (static_cast<uint64_t>(doc_id >> 64) * 0x9E3779B97F4A7C15u);
  h ^= uint64_t{token_id} << 32 | token_id;
  h = (h ^ (h >> 30)) * 0xBF58476D1CE4E5B9u;
  h = (h ^ (h >> 27)) * 0x94D049BB133111EBu;
  return h ^ (h >> 31);
}

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
