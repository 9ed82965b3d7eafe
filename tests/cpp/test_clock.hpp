// A wall clock driven by the test.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "utils/clock.hpp"

namespace tarnwick::test_support {

// Starts at a fixed instant and moves only when told to, except that every reading advances one
// nanosecond, so that segments created in a row get distinct names; it can also read before the
// epoch, which the stores must refuse.
class TestClock {
 public:
  static constexpr uint64_t kStartSeconds = 1'700'000'000;

  utils::Clock clock() const {
    return [state = state_]() -> std::optional<utils::uint128> {
      if (!state->now) return std::nullopt;
      return (*state->now)++;
    };
  }
  void advance_seconds(uint64_t seconds) { *state_->now += seconds * utils::kNanosPerSecond; }
  void set_seconds(uint64_t seconds) {
    state_->now = utils::uint128{seconds} * utils::kNanosPerSecond;
  }
  void set_before_epoch() { state_->now.reset(); }

 private:
  struct State {
    std::optional<utils::uint128> now = utils::uint128{kStartSeconds} * utils::kNanosPerSecond;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace tarnwick::test_support
