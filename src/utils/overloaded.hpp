// Overloaded: a visitor made of lambdas, for std::visit.
#pragma once

namespace tarnwick::utils {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace tarnwick::utils
