// BorrowFlag: the guard against re-entrant use of one object. Reads take a shared borrow, every
// other operation an exclusive one; a conflicting request fails at once, nothing waits.
#pragma once

#include <cstdint>
#include <optional>

namespace tarnwick {

class BorrowFlag {
 public:
  enum class Conflict {
    AlreadyBorrowed,         // an exclusive request met any borrow
    AlreadyMutablyBorrowed,  // a shared request met an exclusive borrow
  };

  // Releases its borrow when it goes, on every path out of the borrowing scope.
  class Guard {
   public:
    Guard(Guard&& other) noexcept : flag_(other.flag_) { other.flag_ = nullptr; }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    Guard& operator=(Guard&&) = delete;
    ~Guard() {
      if (!flag_) return;
      if (flag_->state_ == kExclusive) {
        flag_->state_ = 0;
      } else {
        --flag_->state_;
      }
    }

   private:
    friend class BorrowFlag;
    explicit Guard(BorrowFlag* flag) : flag_(flag) {}
    BorrowFlag* flag_;
  };

  // Either a guard, or the conflict that refused the borrow.
  struct Attempt {
    std::optional<Guard> guard;
    Conflict conflict = Conflict::AlreadyBorrowed;
  };

  Attempt shared() {
    if (state_ == kExclusive) return {std::nullopt, Conflict::AlreadyMutablyBorrowed};
    ++state_;
    return {Guard(this)};
  }

  Attempt exclusive() {
    if (state_ != 0) return {std::nullopt, Conflict::AlreadyBorrowed};
    state_ = kExclusive;
    return {Guard(this)};
  }

  static const char* message(Conflict conflict) {
    return conflict == Conflict::AlreadyBorrowed ? "Already borrowed" : "Already mutably borrowed";
  }

 private:
  static constexpr int64_t kExclusive = -1;
  int64_t state_ = 0;  // 0 free, n > 0 shared borrows, kExclusive
};

}  // namespace tarnwick
