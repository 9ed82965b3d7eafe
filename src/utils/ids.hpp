// Document ids (128-bit) as keys of absl's hash containers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "absl/container/flat_hash_map.h"
#include "absl/container/flat_hash_set.h"
#include "absl/hash/hash.h"

namespace tarnwick::utils {

using uint128 = unsigned __int128;

struct IdHash {
  size_t operator()(uint128 id) const {
    return absl::HashOf(static_cast<uint64_t>(id >> 64), static_cast<uint64_t>(id));
  }
};
using IdSet = absl::flat_hash_set<uint128, IdHash>;
template <class V>
using IdMap = absl::flat_hash_map<uint128, V, IdHash>;

}  // namespace tarnwick::utils
