#pragma once
// The words that the shell-quoting fuzzer made, kept one per line in hex.

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace lumora::regression {

inline std::vector<std::string> fuzzerWords() {
  std::ifstream in(std::filesystem::path(LUMORA_SOURCE_DIR) / "tests/regression/shell-words.hex");
  std::vector<std::string> words;
  std::string line;
  while (std::getline(in, line)) {
    std::string word;
    for (size_t i = 0; i + 1 < line.size(); i += 2) {
      word += static_cast<char>(std::stoi(line.substr(i, 2), nullptr, 16));
    }
    words.push_back(word);
  }
  return words;
}

}  // namespace lumora::regression
