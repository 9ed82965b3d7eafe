// posting_hash: a 64-bit hash of one posting's (document, token) pair, the same on every run and
// build, so that sums of it can be stored. The index sums it over its postings, the document store
// over its records' token ids; equal sums mean both hold the same pairs.
#pragma once

#include <cstdint>

namespace tarnwick::utils {

inline uint64_t posting_hash(unsigned __int128 doc_id, uint32_t token_id) {
  uint64_t h = static_cast<uint64_t>(doc_id) ^ (static_cast<uint64_t>(doc_id >> 64) * 0x9E3779B97F4A7C15u);
  h ^= uint64_t{token_id} << 32 | token_id;
  h = (h ^ (h >> 30)) * 0xBF58476D1CE4E5B9u;
  h = (h ^ (h >> 27)) * 0x94D049BB133111EBu;
  return h ^ (h >> 31);
}

}  // namespace tarnwick::utils
