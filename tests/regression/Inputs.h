#pragma once
// The inputs a check is replayed on: the fuzz target's seeds and every
// finding kept in tests/regression/inputs/<target>/.

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace lumora::regression {

struct NamedInput {
  std::string name;
  std::string bytes;
};

inline std::vector<NamedInput> inputsOf(const std::string& target) {
  const std::filesystem::path source = LUMORA_SOURCE_DIR;
  std::vector<NamedInput> out;
  for (const auto& folder :
       {source / "fuzz" / "corpus" / target, source / "tests" / "regression" / "inputs" / target}) {
    std::error_code ec;
    for (const auto& file : std::filesystem::directory_iterator(folder, ec)) {
      std::ifstream in(file.path(), std::ios::binary);
      std::ostringstream bytes;
      bytes << in.rdbuf();
      out.push_back({file.path().lexically_relative(source).string(), bytes.str()});
    }
  }
  return out;
}

}  // namespace lumora::regression

// Replays every input of `target` through `check` (a callable from the
// input's bytes to a broken property, empty when none).
#define LUMORA_REPLAY(target, check)                                       \
  do {                                                                     \
    auto inputs = ::lumora::regression::inputsOf(target);                  \
    ASSERT_FALSE(inputs.empty()) << "no inputs for " << (target);          \
    for (const auto& replayed : inputs) {                                  \
      EXPECT_EQ((check)(replayed.bytes), "") << "input " << replayed.name; \
    }                                                                      \
  } while (false)
