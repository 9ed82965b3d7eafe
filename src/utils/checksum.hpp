// checksum64: a 64-bit checksum of a byte string, for telling a derived file written whole from
// one damaged or cut short. Four lanes each fold in every fourth 8-byte word by a multiply, which
// keeps the loop at several bytes a cycle; the lanes, the tail and the length are mixed at the
// end. Not cryptographic, but the same on every run and every build (absl's hash is seeded per
// process, so it cannot be stored).
#pragma once

#include <cstdint>
#include <span>

namespace tarnwick::utils {

uint64_t checksum64(std::span<const uint8_t> bytes, uint64_t seed = 0);

}  // namespace tarnwick::utils
