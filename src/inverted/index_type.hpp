// Index: the inverted index in memory, each token id's posting list.
#pragma once

#include <cstdint>

#include "absl/container/flat_hash_map.h"
#include "inverted/posting_list.hpp"

namespace tarnwick::inverted {

// Token id to posting list. Keys are hashed by absl's integer mix: the table takes its probe
// position from the high hash bits, so the bare ids, dense from 0, would crowd into a few groups.
using Index = absl::flat_hash_map<uint32_t, PostingList>;

}  // namespace tarnwick::inverted
