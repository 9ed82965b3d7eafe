// The clock readings behind the stores' save thresholds, in whole seconds since the UNIX epoch.
#pragma once

#include <cstdint>
#include <optional>

#include "utils/clock.hpp"

namespace tarnwick::utils {

// Nothing when the clock reads before the epoch.
inline std::optional<uint64_t> now_seconds(const Clock& clock) {
  auto nanos = clock();
  if (!nanos) return std::nullopt;
  return static_cast<uint64_t>(*nanos / kNanosPerSecond);
}

// `now` has reached `last_save` + `after_seconds`. The sum saturates, so a huge setting means
// "never" rather than wrapping around to "always".
inline bool save_is_due(uint64_t now, uint64_t last_save, uint64_t after_seconds) {
  const uint64_t due = last_save > UINT64_MAX - after_seconds ? UINT64_MAX : last_save + after_seconds;
  return now >= due;
}

}  // namespace tarnwick::utils
