// Clock: the wall clock as nanoseconds since the UNIX epoch. Stores and the id generator take one
// as a value, so tests can drive time by hand instead of waiting for it.
#pragma once

#include <functional>
#include <optional>

namespace tarnwick::utils {

using uint128 = unsigned __int128;

// Nanoseconds since the epoch, or nullopt when the clock reads before the epoch.
using Clock = std::function<std::optional<uint128>()>;

// The system's real-time clock.
std::optional<uint128> system_time_nanos();

constexpr uint128 kNanosPerSecond = 1'000'000'000;
constexpr uint128 kNanosPerMilli = 1'000'000;

}  // namespace tarnwick::utils
