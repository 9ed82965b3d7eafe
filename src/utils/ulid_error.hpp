// The failures of document ids: a text that is no id, and a generator that ran out of ids.
#pragma once

#include <string>
#include <variant>

namespace tarnwick::utils {

struct UlidError {
  enum class Kind { Decode, Monotonic };
  enum class DecodeReason { InvalidLength, InvalidCharacter };
  struct Monotonic {};
  std::variant<DecodeReason, Monotonic> detail;
  Kind kind() const { return static_cast<Kind>(detail.index()); }

  // "invalid length", "invalid character" or "Ulid random bits would overflow".
  std::string to_string() const {
    if (kind() == Kind::Monotonic) return "Ulid random bits would overflow";
    return std::get<DecodeReason>(detail) == DecodeReason::InvalidLength ? "invalid length"
                                                                         : "invalid character";
  }
};

}  // namespace tarnwick::utils
