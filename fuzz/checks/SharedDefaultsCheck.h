#pragma once
// The shared defaults file: whatever the file holds, reading never fails
// and agrees with a plain JSON reading of it; a stored value reads back
// exactly, and the file's other string values survive the store.

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "fuzz/checks/JsonReference.h"
#include "fuzz/checks/Property.h"
#include "fuzz/checks/ShellQuoteCheck.h"  // splitWords
#include "platform/foundation/SharedDefaults.h"
#include "platform/foundation/TextFile.h"

namespace lumora::fuzz {

// The string values of a file as the suite should see them.
inline std::vector<std::pair<std::string, std::string>> expectedStrings(std::string_view file) {
  std::vector<std::pair<std::string, std::string>> out;
  if (!isValidUtf8(file)) return out;
  auto parsed = nlohmann::json::parse(file, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_object()) return out;
  for (auto it = parsed.begin(); it != parsed.end(); ++it) {
    if (it.value().is_string()) out.emplace_back(it.key(), it.value().get<std::string>());
  }
  return out;
}

// Input: a separator byte, then the file's bytes, a key and a value.
inline std::string checkSharedDefaults(std::string_view input, const std::filesystem::path& file) {
  std::vector<std::string> parts = splitWords(input);
  parts.resize(3);
  const std::string& contents = parts[0];
  const std::string& key = parts[1];
  const std::string& value = parts[2];
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    LUMORA_PROPERTY(out.good(), "cannot write the test file");
  }
  SharedDefaults defaults(file);
  auto before = expectedStrings(contents);
  // Each read parses the whole file again: a few keys say as much as all.
  if (before.size() > 3) before.resize(3);
  for (const auto& [k, v] : before) {
    LUMORA_PROPERTY(defaults.stringForKey(k) == v, "the file's value of " + escaped(k));
  }
  if (before.empty()) {
    LUMORA_PROPERTY(!defaults.stringForKey(key), "a value from a file that holds none");
  }

  auto stored = defaults.setString(key, value);
  LUMORA_PROPERTY(stored.has_value(), "setString failed: " + stored.error().description);
  struct stat st {};
  LUMORA_PROPERTY(::stat(file.c_str(), &st) == 0 && (st.st_mode & 0777) == 0600,
                  "the file is not 0600 after a store");
  auto written = readUtf8File(file);
  LUMORA_PROPERTY(written.has_value(), "the stored file is not UTF-8");
  LUMORA_PROPERTY(nlohmann::json::parse(*written, nullptr, false).is_object(),
                  "the stored file is not a JSON object");

  if (isValidUtf8(key)) {
    auto back = defaults.stringForKey(key);
    LUMORA_PROPERTY(back.has_value(), "the stored value is missing");
    if (isValidUtf8(value)) {
      LUMORA_PROPERTY(*back == value, "the value does not round-trip: " + escaped(*back));
    } else {
      LUMORA_PROPERTY(isValidUtf8(*back), "a replaced value is not UTF-8");
    }
  }
  for (const auto& [k, v] : before) {
    if (k == key) continue;
    LUMORA_PROPERTY(defaults.stringForKey(k) == v, "a store lost the value of " + escaped(k));
  }
  return {};
}

}  // namespace lumora::fuzz
