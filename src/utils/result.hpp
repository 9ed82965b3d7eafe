// Result<T, E>: the value of a fallible operation, or the error that stopped it.
//
// Errors are values throughout the core; no C++ exception is used to report a failure. A function
// returns `fail(error)` to report an error and a plain `T` for success; callers propagate by early
// return:
//
//   auto text = read_whole_file(path);
//   if (!text) return fail(ConfigError::io(std::move(text.error())));
#pragma once

#include <cassert>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace tarnwick::utils {

// Carries an error into a Result of any value type.
template <class E>
struct Failure {
  E error;
};

template <class E>
Failure<std::decay_t<E>> fail(E&& error) {
  return {std::forward<E>(error)};
}

// The error type built from a failure's payload: an aggregate (an error enumeration) takes it as
// its first member, anything else through a constructor.
template <class E, class G>
E make_error(G&& payload) {
  if constexpr (std::is_aggregate_v<E>) {
    return E{std::forward<G>(payload)};
  } else {
    return E(std::forward<G>(payload));
  }
}

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  template <class G>
  Result(Failure<G> failure)
      : state_(std::in_place_index<1>, make_error<E>(std::move(failure.error))) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  // REQUIRES: ok()
  T& value() & { return assert(ok()), std::get<0>(state_); }
  const T& value() const& { return assert(ok()), std::get<0>(state_); }
  T&& value() && { return assert(ok()), std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  // REQUIRES: !ok()
  E& error() & { return assert(!ok()), std::get<1>(state_); }
  const E& error() const& { return assert(!ok()), std::get<1>(state_); }
  E&& error() && { return assert(!ok()), std::get<1>(std::move(state_)); }

 private:
  std::variant<T, E> state_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  // User-provided, so that `return {}` constructs only the optional's empty state: a defaulted
  // constructor would have value-initialisation zero all of the error's storage first.
  Result() {}
  template <class G>
  Result(Failure<G> failure) : error_(make_error<E>(std::move(failure.error))) {}

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }

  // REQUIRES: !ok()
  E& error() & { return assert(!ok()), *error_; }
  const E& error() const& { return assert(!ok()), *error_; }
  E&& error() && { return assert(!ok()), *std::move(error_); }

 private:
  std::optional<E> error_;
};

template <class E>
using Status = Result<void, E>;

}  // namespace tarnwick::utils
