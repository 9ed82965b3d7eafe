#include "utils/clock.hpp"

#include <time.h>

namespace tarnwick::utils {

std::optional<uint128> system_time_nanos() {
  struct timespec now;
  if (::clock_gettime(CLOCK_REALTIME, &now) != 0 || now.tv_sec < 0) return std::nullopt;
  return static_cast<uint128>(now.tv_sec) * kNanosPerSecond + static_cast<uint128>(now.tv_nsec);
}

}  // namespace tarnwick::utils
