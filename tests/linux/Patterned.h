#pragma once
// Bytes for test files: no two blocks alike, so that a byte read from the
// wrong place shows.

#include <cstddef>
#include <random>
#include <string>

namespace lumora::testing {

inline std::string patterned(size_t size, unsigned seed = 1) {
  std::string bytes(size, '\0');
  std::mt19937 random(seed);
  for (auto& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

}  // namespace lumora::testing
