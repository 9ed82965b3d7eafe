// Byte strings written as lists of byte values, for tests of binary formats.
#pragma once

#include <initializer_list>
#include <string>

namespace tarnwick::test_support {

inline std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

}  // namespace tarnwick::test_support
